// End to end on POSIX: zephost runs as root, a page's process runs as another
// user (uid 65534). The host starts a copy of itself as that user; the copy
// holds none of the host's descriptors and records ports that GetPorts answers.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { freePort, nativeBuild, scratchFolder, sleep, startHost, stopHost } from "./host.mjs";
import fs from "node:fs";
import path from "node:path";

let folder, state;
const pageUid = 65534;
const isRoot = process.getuid?.() === 0;
let host, origin, hostOutput;

// What a process holds open: socket inodes and files, /dev/null aside.
// What /proc tells of a process or descriptor that has gone meanwhile: nothing.
const proc = (read) => { try { return read(); } catch { return ""; } };
function openObjects(pid) {
  const targets = fs.readdirSync(`/proc/${pid}/fd`).map((fd) => proc(() => fs.readlinkSync(`/proc/${pid}/fd/${fd}`)));
  return new Set(targets.filter((t) => t.startsWith("socket:") || (t.startsWith("/") && t !== "/dev/null")));
}

// The per-user copies of zephost that run.
const copies = () => fs.readdirSync("/proc").filter((name) => /^\d+$/.test(name)).filter((pid) => {
  const args = proc(() => fs.readFileSync(`/proc/${pid}/cmdline`, "utf8")).split("\0");
  return args[0] === path.join(folder, "zephost") && args.includes("-asuser");
}).map(Number);

function userKey(sid) {
  let hash = 0;
  for (const byte of Buffer.from(sid)) hash = (Math.imul(hash, 33) + (byte << 24 >> 24)) >>> 0;
  return String(hash);
}

before(async () => {
  if (!isRoot) return;
  // Laid out as the package is: zephost finds the module through a link, and
  // the module keeps its state beside the file the link leads to.
  folder = scratchFolder(["zephost"]);
  state = path.join(folder, "state");
  fs.mkdirSync(state, { mode: 0o755 });
  fs.copyFileSync(path.join(nativeBuild, "libzep.so"), path.join(state, "libzep.so"));
  fs.symlinkSync("state/libzep.so", path.join(folder, "libzep.so"));
  fs.writeFileSync(path.join(state, "TKConfiguration.ini"), "[TK]\r\nLogLevel=14\r\nEnableEnhancedMode=TRUE\r\n");
  ({ host, origin, output: hostOutput } = await startHost(path.join(folder, "zephost"), ["--port", String(await freePort())]));
});

after(() => host && stopHost(host));

// The page client run as that user; its replies, one per line.
async function asUser(uid, ...args) {
  const client = spawn(
    "setpriv",
    [`--reuid=${uid}`, `--regid=${uid}`, "--clear-groups", process.execPath,
     new URL("page_client.mjs", import.meta.url).pathname, ...args],
    { stdio: ["ignore", "pipe", "inherit"] });
  let output = "";
  client.stdout.on("data", (chunk) => (output += chunk));
  assert.equal(await new Promise((resolve) => client.on("exit", resolve)), 0);
  return output.trim().split("\n").map((line) => JSON.parse(line));
}

test("a page of another user gets its own copy of the host", { skip: !isRoot && "needs root" }, async () => {
  const port = new URL(origin).port;
  const replies = await asUser(pageUid, port);

  const version = replies[0];
  assert.equal(version.result[2], userKey(`S-1-22-1-${pageUid}`));
  assert.equal(version.result[3], "true");
  const ports = replies.at(-1).result[1];
  assert.ok(ports.zep.port > 0, `GetPorts answered ${JSON.stringify(replies.at(-1))}`);
  assert.equal((await fetch(`http://127.0.0.1:${ports.zep.port}/`)).status, 200);

  const [copy] = copies();
  assert.ok(copy, "the copy runs");
  const status = fs.readFileSync(`/proc/${copy}/status`, "utf8");
  assert.match(status, new RegExp(`^Uid:\\t${pageUid}\\t${pageUid}\\t`, "m"));
  const shared = [...openObjects(copy)].filter((object) => openObjects(host.pid).has(object));
  assert.deepEqual(shared, [], "descriptors the copy shares with the host");
  // The copy's own start-up lines went nowhere near the host's terminal.
  assert.equal(hostOutput().match(/console at /g).length, 1, hostOutput());

  // The copy logs in a folder of its user's own; the service's log is the service's alone.
  const logs = path.join(state, "log");
  const copyLog = fs.statSync(path.join(logs, `S-1-22-1-${pageUid}`, "tks.log"));
  const serviceLog = fs.statSync(path.join(logs, "tks.log"));
  assert.deepEqual([copyLog.uid, copyLog.mode & 0o777, serviceLog.uid, serviceLog.mode & 0o777], [pageUid, 0o644, 0, 0o644]);
  assert.equal(fs.statSync(path.join(logs, `S-1-22-1-${pageUid}`)).mode & 0o777, 0o700);

  // A local origin gives no rights: the page's user may not stop the service,
  // another user may not stop the copy, and the copy starts no copies.
  const refusal = (method, exception, description) =>
    `{"description":"${description}","exception":${exception},"id":"1","method":"${method}","result":[false],"cmdId":"${method}"}`;
  assert.equal(JSON.stringify((await asUser(pageUid, port, "Reboot"))[0]),
               refusal("Reboot", -1, "Only an administrator of this machine may do this"));
  assert.equal(JSON.stringify((await asUser(pageUid - 1, String(ports.zep.port), "Reboot"))[0]),
               refusal("Reboot", -2205, "Unsupported browser client. Please try Lumora plugin edition for chrome in Chrome!"));
  const again = (await asUser(pageUid, String(ports.zep.port), "GetPorts"))[0];
  assert.deepEqual(again.result[1], { qro: { port: 0, sslPort: 0 }, zep: { port: 0, sslPort: 0 } });
  assert.deepEqual(copies(), [copy]);

  // Stopping the host stops the copy.
  assert.equal(await stopHost(host), 0);
  for (let i = 0; i < 50 && copies().length > 0; ++i) await sleep(100);
  assert.deepEqual(copies(), []);
});
