// zephost's limits against a hostile page or local program, on loopback and
// bounded: slow commands do not hold up quick ones, one client gets a fair
// share of the connections, bodies and messages share a budget, WebSocket
// buffers shrink back, the descriptor limit brings no busy loop, a stop
// with stuck calls ends within 5 s, and the browser conventions of a local
// service hold (Host check, no framing, 431).
import { test, after } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import { freePort, startZephost, underWine } from "./host.mjs";

const root = new URL("../../", import.meta.url).pathname;
const hosts = [];
const helpers = [];

async function host(env, wrap) {
  const port = String(await freePort());
  const started = await startZephost(["--port", port], { env: { ...process.env, ...env }, wrap });
  hosts.push(started.host);
  return { ...started, port: Number(new URL(started.origin).port) };
}

async function stop(running) {
  if (running.exitCode !== null) return running.exitCode;
  const ended = new Promise((resolve) => running.on("exit", resolve));
  running.kill("SIGTERM");
  return ended;
}

after(async () => {
  for (const running of hosts) assert.equal(await stop(running), 0);
  for (const helper of helpers) helper.kill();
});

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// One request on a connection of its own; the raw answer once the host ends it.
function raw(port, text) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, "127.0.0.1", () => socket.write(text));
    let answer = "";
    socket.on("data", (chunk) => (answer += chunk));
    socket.on("end", () => resolve(answer));
    socket.on("error", reject);
  });
}

// A connection that sends one request and keeps the connection: resolves
// with the socket and the head of the first answer.
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

// A port whose connects get no answer (the native test helper).
async function silentPort() {
  const helper = spawn(root + "build/native/tests/full_listener", [], { stdio: ["pipe", "pipe", "inherit"] });
  helpers.push(helper);
  const port = await new Promise((resolve) => helper.stdout.once("data", (chunk) => resolve(Number(chunk))));
  assert.ok(port > 0);
  return port;
}

test("sixteen hanging port checks hold up no other command", async () => {
  const { origin } = await host({});
  const silent = await silentPort();
  const checks = Array.from({ length: 16 }, (_, i) =>
    fetch(origin + "/zep/cmd", {
      method: "POST",
      body: `{"id":"${i}","method":"CheckQROPort","parameter":["127.0.0.1",${silent},${silent}]}`,
    }).then((r) => r.text()));
  await sleep(300);
  const started = Date.now();
  const version = await fetch(origin + "/zep/cmd", { method: "POST", body: '{"id":"v","method":"TKVersion"}' });
  assert.equal((await version.json()).id, "v");
  assert.ok(Date.now() - started < 1000, `TKVersion took ${Date.now() - started} ms`);
  // Each check gives up after 3 s a port: both ports free.
  for (const reply of await Promise.all(checks)) assert.match(reply, /"result" : \[ true \]/);
});

test("one client holds at most its fair share of the connections", async () => {
  const { port } = await host({ ZEPHOST_MAX_CONNECTIONS: "20" });  // a share of 5
  const body = '{"id":"1","method":"ChangePort"}';
  const held = [];
  for (let i = 0; i < 5; ++i) {
    const kept = await keep(port, commandRequest(port, "http://a.example", body));
    assert.match(kept.answer, /^HTTP\/1\.1 200 OK\r\n/);
    held.push(kept.socket);
  }
  const sixth = await raw(port, commandRequest(port, "http://a.example", body));
  assert.match(sixth, /^HTTP\/1\.1 503 Service Unavailable\r\n/);
  assert.match(sixth, /\r\n\r\nToo many connections from this client\.$/);
  // Another origin, and a program without one, are served.
  for (const other of ["http://b.example", ""]) {
    const kept = await keep(port, commandRequest(port, other, body));
    assert.match(kept.answer, /^HTTP\/1\.1 200 OK\r\n/);
    kept.socket.destroy();
  }
  held.pop().destroy();
  await sleep(100);
  const again = await keep(port, commandRequest(port, "http://a.example", body));
  assert.match(again.answer, /^HTTP\/1\.1 200 OK\r\n/);
  again.socket.destroy();
  for (const socket of held) socket.destroy();
});

test("bodies in flight share a budget: past it a new large request gets 503", async () => {
  const { port } = await host({ ZEPHOST_BODY_BUDGET_MB: "4" });
  const head = (origin) =>
    `POST /zep/cmd HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nOrigin: ${origin}\r\nContent-Length: ${3 * 1024 * 1024}\r\n\r\n`;
  // A body that is sent slowly holds its 3 MiB of the 4.
  const slow = net.connect(port, "127.0.0.1");
  await new Promise((resolve) => slow.on("connect", resolve));
  slow.write(head("http://a.example") + "x".repeat(1000));
  await sleep(200);
  const refused = await raw(port, head("http://b.example"));
  assert.match(refused, /^HTTP\/1\.1 503 Service Unavailable\r\n/);
  assert.match(refused, /\r\n\r\nThe host holds too many request bodies: try again later\.$/);
  slow.destroy();
  await sleep(200);
  const small = await keep(port, commandRequest(port, "http://b.example", '{"id":"1","method":"ChangePort"}'));
  assert.match(small.answer, /^HTTP\/1\.1 200 OK\r\n/);
  small.socket.destroy();
});

// A WebSocket client of the fewest lines: unmasked payloads under a zero mask.
function webSocket(port, origin) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, "127.0.0.1", () =>
      socket.write(`GET /zep/ws HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n` +
                   `Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\nOrigin: ${origin}\r\n\r\n`));
    let head = "";
    const onData = (chunk) => {
      head += chunk.toString("latin1");
      if (!head.includes("\r\n\r\n")) return;
      socket.off("data", onData);
      if (!head.startsWith("HTTP/1.1 101")) return reject(new Error(head));
      resolve(socket);
    };
    socket.on("data", onData);
    socket.on("error", reject);
  });
}

function sendText(socket, text) {
  const payload = Buffer.from(text);
  const length = payload.length;
  const header = length < 126 ? Buffer.from([0x81, 0x80 | length])
    : length < 65536 ? Buffer.from([0x81, 0x80 | 126, length >> 8, length & 255])
    : Buffer.concat([Buffer.from([0x81, 0x80 | 127]), (() => { const b = Buffer.alloc(8); b.writeBigUInt64BE(BigInt(length)); return b; })()]);
  socket.write(Buffer.concat([header, Buffer.alloc(4), payload]));
}

const nextFrame = (socket) => new Promise((resolve) => socket.once("data", resolve));

const residentKiB = (pid) =>
  Number(fs.readFileSync(`/proc/${pid}/status`, "utf8").match(/^VmRSS:\s+(\d+) kB$/m)[1]);

test("a WebSocket's buffer shrinks back after a large message", { skip: underWine && "RSS is read natively" }, async () => {
  const { host: running, port } = await host({});
  const sockets = [];
  for (let i = 0; i < 20; ++i) sockets.push(await webSocket(port, `http://page${i}.example`));
  for (const socket of sockets) {
    const reply = nextFrame(socket);
    sendText(socket, '{"id":"1","method":"ChangePort","pad":"' + "x".repeat(8 * 1024 * 1024) + '"}');
    await reply;
  }
  await sleep(200);
  const kib = residentKiB(running.pid);
  assert.ok(kib < 100 * 1024, `${Math.round(kib / 1024)} MiB held after 20 messages of 8 MiB`);
  for (const socket of sockets) socket.destroy();
});

test("at the descriptor limit the host waits without spinning and serves again", async () => {
  const { host: running, port } = await host({}, "ulimit -n 64; exec");
  const held = [];
  for (let i = 0; i < 80; ++i) {
    const socket = net.connect(port, "127.0.0.1");
    socket.on("error", () => {});
    held.push(socket);
  }
  await sleep(500);
  if (!underWine) {
    const cpu = () => fs.readFileSync(`/proc/${running.pid}/stat`, "utf8").split(") ")[1].split(" ").slice(11, 13)
      .reduce((sum, ticks) => sum + Number(ticks), 0);
    const before = cpu();
    await sleep(1000);
    assert.ok(cpu() - before < 30, `${cpu() - before} ticks of CPU in a second at the limit`);
  }
  for (const socket of held) socket.destroy();
  await sleep(300);
  const answer = await fetch(`http://127.0.0.1:${port}/zep/cmd`, { method: "POST", body: '{"id":"1","method":"ChangePort"}' });
  assert.equal(answer.status, 200);
});

test("a stop with calls stuck in the module ends within 5 s", async () => {
  const { host: running, origin } = await host({});
  const silent = await silentPort();
  for (let i = 0; i < 4; ++i)
    fetch(origin + "/zep/cmd", {
      method: "POST",
      body: `{"id":"${i}","method":"CheckQROPort","parameter":["127.0.0.1",${silent},${silent}]}`,
    }).catch(() => {});
  await sleep(300);
  const started = Date.now();
  assert.equal(await stop(running), 0);
  assert.ok(Date.now() - started < 5800, `the stop took ${Date.now() - started} ms`);
});

test("a foreign Host gets 421; the console cannot be framed; a large header gets 431", async () => {
  const { port, origin } = await host({});
  const rebound = await raw(port, `GET /zep/cmd HTTP/1.1\r\nHost: attacker.example:${port}\r\n\r\n`);
  assert.match(rebound, /^HTTP\/1\.1 421 Misdirected Request\r\n/);
  const page = await fetch(origin + "/");
  assert.equal(page.headers.get("x-frame-options"), "DENY");
  assert.equal(page.headers.get("content-security-policy"), "frame-ancestors 'none'");
  const large = await raw(port, `GET / HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nX-Pad: ${"x".repeat(9000)}\r\n\r\n`);
  assert.match(large, /^HTTP\/1\.1 431 Request Header Fields Too Large\r\n/);
});
