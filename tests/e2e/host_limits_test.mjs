// zephost under load and against a hostile page or local program, on
// loopback and bounded: idle connections cost no threads and time out, the
// connection cap and one client's fair share of it, bodies and replies share
// a budget, memory of large messages is given back, the descriptor limit is
// lived through, a stop with stuck calls ends within 5 s, and the browser
// conventions of a local service hold (Host check, no framing, 431).
import { test, after } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import { connect, freePort, rawRequest, root, sleep, startZephost, stopHost, underWine } from "./host.mjs";

// ZEP_E2E_WINE=1: zephost.exe with zep.dll under Wine (the environment reaches it).
const hosts = [];
const helpers = [];

// One host at a time: the hosts and helpers of earlier tests end first (under
// Wine every host shares one server, and its TCP table, with the others).
async function host(env, wrap) {
  while (hosts.length > 0) assert.equal(await stopHost(hosts.pop()), 0);
  while (helpers.length > 0) helpers.pop().kill();
  const started = await startZephost(["--port", String(await freePort())], { env: { ...process.env, ...env }, wrap });
  hosts.push(started.host);
  return { ...started, port: Number(new URL(started.origin).port) };
}

after(async () => {
  for (const running of hosts) assert.equal(await stopHost(running), 0);
  for (const helper of helpers) helper.kill();
});

// A connection that sends one request and stays open: the socket and the head of the first answer.
function keep(port, request) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, "127.0.0.1", () => socket.write(request));
    let answer = "";
    socket.on("data", (chunk) => {
      answer += chunk;
      if (answer.includes("\r\n\r\n")) resolve({ socket, answer });
    });
    socket.on("error", reject);
  });
}

const commandRequest = (port, origin, body) =>
  `POST /zep/cmd HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n${origin ? `Origin: ${origin}\r\n` : ""}` +
  `Content-Length: ${Buffer.byteLength(body)}\r\n\r\n${body}`;
const command = (origin, body) => fetch(origin + "/zep/cmd", { method: "POST", body }).then((r) => r.text());
const procStatus = (pid, field) =>
  Number(fs.readFileSync(`/proc/${pid}/status`, "utf8").match(new RegExp(`^${field}:\\s+(\\d+)`, "m"))[1]);

// A port whose connects get no answer (the native test helper).
async function silentPort() {
  const helper = spawn(root + "build/native/tests/full_listener", [], { stdio: ["pipe", "pipe", "inherit"] });
  helpers.push(helper);
  const port = await new Promise((resolve) => helper.stdout.once("data", (chunk) => resolve(Number(chunk))));
  assert.ok(port > 0);
  return port;
}
const hangingChecks = (origin, silent, count) =>
  Array.from({ length: count }, (_, i) =>
    command(origin, `{"id":"${i}","method":"CheckQROPort","parameter":["127.0.0.1",${silent},${silent}]}`));

test("idle connections cost no threads and hold up no command", async () => {
  // One user, this test: its share is the whole cap.
  const { host: running, origin, port } = await host({ ZEPHOST_IDLE_SECONDS: "30", ZEPHOST_FAIR_SHARE: "256" });
  const idle = [];
  for (let i = 0; i < 150; ++i) idle.push(await connect(port));
  await sleep(200);
  // Wine runs threads of its own: the count is checked natively.
  if (!underWine) assert.ok(procStatus(running.pid, "Threads") <= 16, "threads for 150 idle connections");
  const version = JSON.parse(await command(origin, '{"id":"1","method":"VersionInfo"}'));
  assert.equal(version.result[0], "16, 2, 6, 1212");
  for (const socket of idle) socket.destroy();
});

test("an idle connection is closed after the time-out", async () => {
  const { port } = await host({ ZEPHOST_IDLE_SECONDS: "1" });
  const { socket } = await keep(port, commandRequest(port, "", '{"id":"1","method":"ChangePort"}'));
  // Answered once, then idle: closed within the second, well before the 5 s header wait.
  const closed = await new Promise((resolve) => {
    const timer = setTimeout(() => resolve(false), 3000);
    socket.on("close", () => resolve(clearTimeout(timer) ?? true));
  });
  assert.ok(closed, "the idle connection stayed open");
});

test("connections beyond the cap are refused with 503", async () => {
  const { port } = await host({ ZEPHOST_MAX_CONNECTIONS: "5", ZEPHOST_FAIR_SHARE: "5", ZEPHOST_IDLE_SECONDS: "30" });
  const held = [];
  for (let i = 0; i < 5; ++i) held.push(await connect(port));
  await sleep(100);
  assert.match(await rawRequest(port, ""), /^HTTP\/1\.1 503 Service Unavailable\r\n.*\r\n\r\nToo many connections\.$/s);
  for (const socket of held) socket.destroy();
});

// Connections of a program run as another user (uid): the first line of
// each answer, and the program, which holds them open until it is ended.
const isRoot = process.getuid?.() === 0;
async function asUser(uid, port, count, request, waitMs = 1000) {
  const child = spawn("setpriv", [`--reuid=${uid}`, `--regid=${uid}`, "--clear-groups", process.execPath,
                                  new URL("raw_client.mjs", import.meta.url).pathname, String(port), String(count),
                                  JSON.stringify(request), String(waitMs)], { stdio: ["pipe", "pipe", "inherit"] });
  helpers.push(child);
  const line = await new Promise((resolve) => child.stdout.once("data", resolve));
  return JSON.parse(String(line));
}
const tally = (lines) => lines.reduce((counts, line) => ({ ...counts, [line]: (counts[line] ?? 0) + 1 }), {});
const quickly = async (what, started = Date.now()) => {
  const answer = await what;
  assert.ok(Date.now() - started < 2000, `answered after ${Date.now() - started} ms`);
  return answer;
};
const userRefusal = "HTTP/1.1 503 Service Unavailable Too many connections from this user.";

// Who a client is comes from the system: a user holds at most a quarter of
// the connections from the moment they are accepted, whatever Origin values
// it writes, and one page origin at most a quarter of its user's part; a
// connection that sends no whole header within the time is closed.
test("connections are shared by user, then by page origin", { skip: (underWine || !isRoot) && "two users natively" },
     async () => {
  const { origin, port } = await host({ ZEPHOST_MAX_CONNECTIONS: "64", ZEPHOST_HEADER_SECONDS: "2" });  // 16 a user
  // Another user's silent connections: its share held, the rest refused at once.
  const silent = await asUser(65534, port, 64, "");
  assert.deepEqual(tally(silent), { "": 16, [userRefusal]: 48 });
  assert.equal(await quickly(command(origin, '{"id":"1","method":"ChangePort"}')),
               '{\n   "id" : "1",\n   "method" : "ChangePort",\n   "result" : [ true ],\n\t"cmdId" : ""\n}\n');
  // Silent past the header time-out: closed, and the share is free again.
  await sleep(2500);
  assert.deepEqual(tally(await asUser(65534, port, 1, commandRequest(port, "", '{"id":"1","method":"ChangePort"}'))),
                   { ["HTTP/1.1 200 OK " + '{\n   "id" : "1",\n   "method" : "ChangePort",\n   "result" : [ true ],\n\t"cmdId" : ""\n}\n']: 1 });
  // One origin holds a quarter of its user's part; many origins the user's part.
  const held = [];
  const request = (page) => commandRequest(port, page, '{"id":"1","method":"ChangePort"}');
  for (let i = 0; i < 4; ++i) held.push((await keep(port, request("http://a.example"))).socket);
  assert.match(await rawRequest(port, request("http://a.example")),
               /^HTTP\/1\.1 503 Service Unavailable\r\n.*\r\n\r\nToo many connections from this client\.$/s);
  for (let i = 0; i < 12; ++i) held.push((await keep(port, request(`http://${i % 4}.b.example`))).socket);
  assert.match(await rawRequest(port, request("http://c.example")),
               /^HTTP\/1\.1 503 Service Unavailable\r\n.*\r\n\r\nToo many connections from this user\.$/s);
  // The other user is served meanwhile.
  assert.match((await quickly(asUser(65533, port, 1, request("http://c.example"))))[0], /^HTTP\/1\.1 200 OK /);
  for (const socket of held) socket.destroy();
});

test("bodies in flight share a budget, a user at most a quarter of it: past either a large body gets 503",
     { skip: (underWine || !isRoot) && "several users natively" }, async () => {
  const { port } = await host({ ZEPHOST_BODY_BUDGET_MB: "4" });
  const head = (origin) =>
    `POST /zep/cmd HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nOrigin: ${origin}\r\nContent-Length: ${1024 * 1024}\r\n\r\n`;
  const refusal = "HTTP/1.1 503 Service Unavailable The host holds too many request bodies: try again later.";
  // A body that is sent slowly holds its MiB: the user's whole part, whatever the origin.
  const held = [];
  held.push(await connect(port));
  held.at(-1).write(head("http://a.example") + "x".repeat(1000));
  await sleep(100);
  assert.match(await rawRequest(port, head("http://b.example")), /^HTTP\/1\.1 503 Service Unavailable\r\n.*\r\n\r\nThe host holds too many request bodies: try again later\.$/s);
  // Three other users take the rest of the budget; a fifth is refused.
  for (const uid of [65531, 65532, 65533]) assert.deepEqual(await asUser(uid, port, 1, head("http://a.example") + "x", 300), [""]);
  assert.deepEqual(await asUser(65534, port, 1, head("http://a.example"), 1000), [refusal]);
  for (const socket of held) socket.destroy();
  while (helpers.length > 0) helpers.pop().kill();
  await sleep(200);
  // A chunked body holds as much as a user may until it has been read.
  const chunked = await keep(port, `POST /zep/cmd HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nOrigin: http://a.example\r\n` +
    'Transfer-Encoding: chunked\r\n\r\n20\r\n{"id":"1","method":"ChangePort"}\r\n0\r\n\r\n');
  assert.match(chunked.answer, /^HTTP\/1\.1 200 OK\r\n/);
  chunked.socket.destroy();
});

// A WebSocket client of the fewest lines: unmasked payloads under a zero mask.
async function webSocket(port, origin) {
  const { socket, answer } = await keep(port,
    `GET /zep/ws HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n` +
    `Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\nOrigin: ${origin}\r\n\r\n`);
  assert.match(answer, /^HTTP\/1\.1 101 /);
  return socket;
}

function sendText(socket, text) {
  const payload = Buffer.from(text);
  const head = Buffer.alloc(payload.length < 126 ? 2 : payload.length < 65536 ? 4 : 10);
  head[0] = 0x81;
  if (payload.length < 126) {
    head[1] = 0x80 | payload.length;
  } else if (payload.length < 65536) {
    head[1] = 0x80 | 126;
    head.writeUInt16BE(payload.length, 2);
  } else {
    head[1] = 0x80 | 127;
    head.writeBigUInt64BE(BigInt(payload.length), 2);
  }
  socket.write(Buffer.concat([head, Buffer.alloc(4), payload]));  // unmasked under a zero mask
}

// A burst of large messages on a host whose threads grew with earlier load:
// its memory grows by less than 100 MB, and within 10 s of the sockets'
// closing it is back within 50 MB of where it started.
test("memory taken by large messages is given back", { skip: underWine && "RSS is read natively" }, async () => {
  const { host: running, origin, port } = await host({ ZEPHOST_FAIR_SHARE: "1024", ZEPHOST_MAX_CONNECTIONS: "2048" });
  // Earlier load grows the threads: hanging port checks, and 300 WebSockets with one command each at once.
  const checks = hangingChecks(origin, await silentPort(), 16);
  const many = [];
  for (let i = 0; i < 300; ++i) many.push(await webSocket(port, `http://grow${i % 60}.example`));
  await Promise.all(many.map((socket) => {
    const reply = new Promise((resolve) => socket.once("data", resolve));
    sendText(socket, '{"id":"1","method":"TKVersion"}');
    return reply;
  }));
  for (const socket of many) socket.destroy();
  await Promise.all(checks);
  const start = procStatus(running.pid, "VmRSS");
  const sockets = [];
  for (let i = 0; i < 20; ++i) sockets.push(await webSocket(port, `http://page${i}.example`));
  for (const socket of sockets) {
    const reply = new Promise((resolve) => socket.once("data", resolve));
    sendText(socket, '{"id":"1","method":"ChangePort","pad":"' + "x".repeat(16 * 1024 * 1024 - 64) + '"}');
    assert.equal((await reply)[0], 0x81);  // a text frame: the reply
  }
  const grown = procStatus(running.pid, "VmRSS") - start;
  assert.ok(grown < 100 * 1024, `${Math.round(grown / 1024)} MiB more after 20 messages of 16 MiB`);
  for (const socket of sockets) socket.destroy();
  let left = grown;
  for (let waited = 0; waited < 10000 && left >= 50 * 1024; waited += 250) {
    await sleep(250);
    left = procStatus(running.pid, "VmRSS") - start;
  }
  assert.ok(left < 50 * 1024, `${Math.round(left / 1024)} MiB still held 10 s after the sockets closed`);
});

test("at the descriptor limit the host serves again once connections close", async () => {
  const { port } = await host({}, "ulimit -n 64; exec");
  const held = [];
  for (let i = 0; i < 80; ++i) held.push(net.connect(port, "127.0.0.1").on("error", () => {}));
  await sleep(500);
  for (const socket of held) socket.destroy();
  // Served again once the host has seen them close (under Wine the closed
  // ones may still be waiting for their user to be looked up).
  let status = 0;
  for (let waited = 0; waited < 5000 && status !== 200; waited += 250) {
    await sleep(250);
    status = (await fetch(`http://127.0.0.1:${port}/zep/cmd`, { method: "POST", body: '{"id":"1","method":"ChangePort"}' }))
      .status;
  }
  assert.equal(status, 200);
});

// Port checks run in a lane of their own: a program's sixteen hanging checks
// (each gives up after 3 s a port) hold up no page's command meanwhile.
test("hanging port checks hold up no page's command", async () => {
  // Few module threads: in the one lane the checks would take the user's part.
  const { origin } = await host({ ZEPHOST_MODULE_THREADS: "4" });
  const checks = hangingChecks(origin, await silentPort(), 16);
  await sleep(300);
  const page = { method: "POST", headers: { Origin: "http://page.example" }, body: '{"id":"v","method":"TKVersion"}' };
  const answered = fetch(origin + "/zep/cmd", page).then(async (reply) => (await reply.json()).id);
  assert.equal(await Promise.race([answered, Promise.any(checks).then(() => "a check first")]), "v");
  for (const reply of await Promise.all(checks)) assert.match(reply, /"result" : \[ true \]/);
});

test("a stop with calls stuck in the module ends within 5 s", async () => {
  const { host: running, origin } = await host({});
  hangingChecks(origin, await silentPort(), 4).forEach((check) => check.catch(() => {}));
  await sleep(300);
  const started = Date.now();
  assert.equal(await stopHost(running), 0);
  assert.ok(Date.now() - started < 5800, `the stop took ${Date.now() - started} ms`);
});

test("a foreign Host gets 421; the console cannot be framed; a large header gets 431", async () => {
  const { port, origin } = await host({});
  const rebound = await rawRequest(port, `GET /zep/cmd HTTP/1.1\r\nHost: attacker.example:${port}\r\n\r\n`);
  assert.match(rebound, /^HTTP\/1\.1 421 Misdirected Request\r\n/);
  const page = await fetch(origin + "/");
  assert.equal(page.headers.get("x-frame-options"), "DENY");
  assert.equal(page.headers.get("content-security-policy"), "frame-ancestors 'none'");
  const large = await rawRequest(port, `GET / HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nX-Pad: ${"x".repeat(9000)}\r\n\r\n`);
  assert.match(large, /^HTTP\/1\.1 431 Request Header Fields Too Large\r\n/);
});

// A reply may be far larger than its command (every command's parameters come
// back, written out): it is held in its user's part of the budget until sent.
test("a reply that does not fit in its user's part of the budget gets 503 over HTTP and closes a WebSocket",
     async () => {
  const { port, origin } = await host({ ZEPHOST_BODY_BUDGET_MB: "1" });
  const nested = "[".repeat(12) + "]".repeat(12);
  const command = `{"id":"1","method":"TKVersion","parameter":[${Array(1500).fill(nested).join(",")}]}`;
  const large = await fetch(origin + "/zep/cmd", { method: "POST", body: command });
  assert.deepEqual([large.status, await large.text()],
                   [503, "The reply does not fit in the memory this client may hold: try again later."]);
  const socket = await webSocket(port, "http://a.example");
  const closed = new Promise((resolve) => socket.once("data", resolve));
  sendText(socket, command);
  const frame = await closed;
  assert.deepEqual([frame[0], frame.readUInt16BE(2), frame.subarray(4).toString()],
                   [0x88, 1013, "The reply does not fit in the memory this client may hold: try again later."]);
  // The bytes went back: an ordinary command is answered.
  const small = await fetch(origin + "/zep/cmd", { method: "POST", body: '{"id":"1","method":"ChangePort"}' });
  assert.equal(small.status, 200);
});
