// zephost's command line and the web's conventions on the module paths:
// oversize bodies, CORS preflights and headers, content types.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { freePort, nativeBuild, rawRequest, scratchFolder, startHost, startZephost, stopHost } from "./host.mjs";

const zephost = path.join(nativeBuild, "zephost");
let host, origin;

before(async () => {
  ({ host, origin } = await startZephost(["--port", String(await freePort())]));
});

after(() => host && stopHost(host));

// Root may start zephost by its bare name from a folder of a user's: neither
// the name it was started by nor the working folder says where it lives.
test("zephost finds itself through the system, and takes only an absolute --module", async () => {
  const planted = scratchFolder([]);
  fs.writeFileSync(path.join(planted, "zephost"), "");
  fs.writeFileSync(path.join(planted, "libzep.so"), "not a library");
  const started = await startHost(zephost, ["--port", String(await freePort())], { cwd: planted, argv0: "zephost" });
  await stopHost(started.host);
  assert.equal(started.output().split("\n")[0], `zephost: module ${nativeBuild}libzep.so (kelpm2_16261212, alias zep)`);
  const relative = spawnSync(zephost, ["--module", "libzep.so"], { cwd: planted, encoding: "utf8" });
  assert.equal(relative.status, 2);
  assert.equal(relative.stderr.split("\n")[0], 'zephost: --module takes an absolute path, not "libzep.so"');
});

test("the port comes from the zep entry of the port table", async () => {
  const folder = scratchFolder(["zephost", "libzep.so"]);
  const port = await freePort();
  fs.writeFileSync(path.join(folder, "TKConfiguration.ini"),
                   `[TK]\r\nPort_mn_0=qro\r\nPort_mp_0=1\r\nPort_mn_1=zep\r\nPort_mp_1=${port}\r\nPort=2\r\n`);
  const started = await startHost(path.join(folder, "zephost"), []);
  await stopHost(started.host);
  assert.equal(started.origin, `http://127.0.0.1:${port}`);
});

test("a path that is neither the console nor the module's is not found", async () => {
  const response = await fetch(origin + "/index.html?x=1");
  assert.deepEqual([response.status, response.headers.get("content-type"), await response.text()],
                   [404, "text/plain; charset=utf-8", "Not found."]);
  assert.equal((await fetch(origin + "/?x=1")).status, 200);
});

test("a preflight is answered with 204 and the CORS headers", async () => {
  const response = await fetch(origin + "/zep/cmd", {
    method: "OPTIONS",
    headers: {
      Origin: "https://app.example",
      "Access-Control-Request-Method": "POST",
      "Access-Control-Request-Headers": "content-type",
      "Access-Control-Request-Private-Network": "true",
    },
  });
  assert.deepEqual([response.status, ...["origin", "methods", "headers", "private-network"].map((name) =>
                     response.headers.get("access-control-allow-" + name))],
                   [204, "https://app.example", "GET, POST, OPTIONS", "content-type", "true"]);
});

test("replies carry the origin and their content type", async () => {
  const json = await fetch(origin + "/zep/cmd", {
    method: "POST",
    headers: { Origin: "https://app.example" },
    body: '{"id":"1","cmdId":"k","method":"ChangePort"}',
  });
  assert.equal(json.status, 200);
  assert.equal(json.headers.get("access-control-allow-origin"), "https://app.example");
  assert.equal(json.headers.get("content-type"), "application/json; charset=utf-8");
  assert.equal(await json.text(),
               '{\n   "id" : "1",\n   "method" : "ChangePort",\n   "result" : [ true ],\n\t"cmdId" : "k"\n}\n');
  const raw = await fetch(origin + "/zep/cmd", { method: "POST", body: "\r\n\r\n" });
  assert.equal(raw.headers.get("content-type"), "text/plain; charset=utf-8");
  assert.equal(await raw.text(), "Invalid command");
  assert.equal(raw.headers.get("access-control-allow-origin"), null);
});

test("a 2 MB upload is taken; a body over the limit gets 413", async () => {
  const upload = await fetch(origin + "/LoadZipFromBytes?type=2&tkver=16.2&x=1", {
    method: "POST",
    body: Buffer.alloc(2 * 1024 * 1024, 7),
  });
  assert.equal(upload.status, 200);
  assert.equal((await upload.json()).exception, -2200);
  // Sent raw: the host answers before it has read the whole body.
  const answer = await rawRequest(new URL(origin).port,
                                  `POST /zep/cmd HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: ${17 * 1024 * 1024}\r\n\r\n`);
  assert.match(answer, /^HTTP\/1\.1 413 Payload Too Large\r\n/);
  assert.match(answer, /\r\n\r\nRequest body too large: at most 16777216 bytes\.$/);
});
