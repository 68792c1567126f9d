// zephost under load, on loopback and bounded: idle connections cost no
// threads and slow nobody, concurrent commands are all answered, idle
// connections time out, and connections beyond the cap are refused clearly.
import { test, after } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import net from "node:net";
import { freePort, startZephost, underWine } from "./host.mjs";

// ZEP_E2E_WINE=1: zephost.exe with zep.dll under Wine (the environment reaches it).
const hosts = [];

async function host(env) {
  const port = String(await freePort());
  const started = await startZephost(["--port", port], { env: { ...process.env, ...env } });
  hosts.push(started.host);
  return { ...started, port: Number(new URL(started.origin).port) };
}

after(async () => {
  for (const running of hosts) {
    if (running.exitCode !== null) continue;
    const ended = new Promise((resolve) => running.on("exit", resolve));
    running.kill("SIGTERM");
    assert.equal(await ended, 0);
  }
});

function connect(port) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, "127.0.0.1", () => resolve(socket));
    socket.on("error", reject);
  });
}

function threads(pid) {
  return Number(fs.readFileSync(`/proc/${pid}/status`, "utf8").match(/^Threads:\s+(\d+)$/m)[1]);
}

const command = (origin, body) => fetch(origin + "/zep/cmd", { method: "POST", body }).then((r) => r.text());

test("idle connections cost no threads and slow no command; many commands are all answered", async () => {
  const { host: process, origin, port } = await host({ ZEPHOST_IDLE_SECONDS: "30" });
  const idle = [];
  for (let i = 0; i < 150; ++i) idle.push(await connect(port));
  await new Promise((resolve) => setTimeout(resolve, 200));
  // Wine runs threads of its own: the count is checked natively.
  if (!underWine) assert.ok(threads(process.pid) <= 16, `${threads(process.pid)} threads for 150 idle connections`);
  const started = Date.now();
  const version = JSON.parse(await command(origin, '{"id":"1","method":"VersionInfo"}'));
  // Natively the bound holds; under Wine identifying the client reads Wine's
  // TCP table, which grows slower with every open connection (1.6 s seen here).
  if (!underWine) assert.ok(Date.now() - started < 1000, `VersionInfo took ${Date.now() - started} ms`);
  assert.equal(version.result[0], "16, 2, 6, 1212");
  for (const socket of idle) socket.destroy();

  // In waves of 50 connections that each end with their answer: within one
  // client's fair share of the connections.
  const once = (body) => new Promise((resolve, reject) => {
    const socket = net.connect(port, "127.0.0.1", () =>
      socket.write(`POST /zep/cmd HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nConnection: close\r\n` +
                   `Content-Length: ${Buffer.byteLength(body)}\r\n\r\n${body}`));
    let answer = "";
    socket.on("data", (chunk) => (answer += chunk));
    socket.on("end", () => resolve(answer.slice(answer.indexOf("\r\n\r\n") + 4)));
    socket.on("error", reject);
  });
  const replies = [];
  for (let wave = 0; wave < 4; ++wave)
    replies.push(...await Promise.all(Array.from({ length: 50 }, (_, j) => {
      const i = wave * 50 + j;
      return once(`{"id":"${i}","cmdId":"c${i}","method":"ChangePort"}`);
    })));
  replies.forEach((reply, i) => {
    assert.equal(reply,
                 `{\n   "id" : "${i}",\n   "method" : "ChangePort",\n   "result" : [ true ],\n\t"cmdId" : "c${i}"\n}\n`);
  });
});

test("an idle connection is closed after the time-out", async () => {
  const { port } = await host({ ZEPHOST_IDLE_SECONDS: "1" });
  const socket = await connect(port);
  const closed = await new Promise((resolve) => {
    const timer = setTimeout(() => resolve(false), 5000);
    socket.on("close", () => {
      clearTimeout(timer);
      resolve(true);
    });
  });
  assert.ok(closed, "the idle connection stayed open");
});

test("connections beyond the cap are refused with 503", async () => {
  const { port } = await host({ ZEPHOST_MAX_CONNECTIONS: "5", ZEPHOST_IDLE_SECONDS: "30" });
  const held = [];
  for (let i = 0; i < 5; ++i) held.push(await connect(port));
  await new Promise((resolve) => setTimeout(resolve, 100));
  const extra = await connect(port);
  const answer = await new Promise((resolve) => {
    let text = "";
    extra.on("data", (chunk) => (text += chunk));
    extra.on("end", () => resolve(text));
  });
  assert.match(answer, /^HTTP\/1\.1 503 Service Unavailable\r\n/);
  assert.match(answer, /\r\n\r\nToo many connections\.$/);
  for (const socket of held) socket.destroy();
});
