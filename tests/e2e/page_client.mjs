// A page's process: asks the host at the given port for VersionInfo, then
// for its user's ports until the per-user copy has recorded them. Prints
// each reply as one JSON line. Given a method (and its parameters as JSON),
// it sends that one command with a local origin instead; "GetPorts" alone
// asks once, with the key that VersionInfo gives.
const [port, oneMethod, oneParameter] = process.argv.slice(2);

async function command(method, parameter) {
  const body = JSON.stringify({ id: "1", cmdId: method, method, ...(parameter ? { parameter } : {}) });
  const response = await fetch(`http://127.0.0.1:${port}/zep/cmd`, {
    method: "POST",
    body,
    headers: { Origin: `http://127.0.0.1:${port}` },
  });
  return JSON.parse(await response.text());
}

if (oneMethod) {
  const parameter = oneParameter ? JSON.parse(oneParameter) : oneMethod === "GetPorts" && [(await command("VersionInfo")).result[2]];
  console.log(JSON.stringify(await command(oneMethod, parameter || undefined)));
  process.exit(0);
}

const version = await command("VersionInfo");
console.log(JSON.stringify(version));
const key = version.result[2];
for (let i = 0; i < 100; ++i) {
  const ports = await command("GetPorts", [key]);
  console.log(JSON.stringify(ports));
  if (ports.result?.[1]?.zep?.port > 0) break;
  await new Promise((resolve) => setTimeout(resolve, 100));
}
