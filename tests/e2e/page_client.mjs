// A page's process: asks the host at the given port for VersionInfo, then
// for its user's ports until the per-user copy has recorded them. Prints
// each reply as one JSON line.
const port = process.argv[2];

async function command(method, parameter) {
  const body = JSON.stringify({ id: "1", cmdId: method, method, ...(parameter ? { parameter } : {}) });
  const response = await fetch(`http://127.0.0.1:${port}/zep/cmd`, { method: "POST", body });
  return JSON.parse(await response.text());
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
