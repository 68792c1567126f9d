// zephost's messages for a mistaken command line, a module it cannot load
// and a port it cannot have, natively and (ZEP_E2E_WINE=1) from zephost.exe
// under Wine.
import { test } from "node:test";
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import path from "node:path";
import { freePort, nativeBuild, root, scratchFolder, startZephost, stopHost, underWine, wineEnv } from "./host.mjs";

// folder: where zephost and its module lie (the build folder when not given).
function zephost(args, folder) {
  const [command, env] = underWine
    ? [root + "scripts/zephost-wine.sh", wineEnv(folder ? { ZEPHOST_EXE: path.join(folder, "zephost.exe") } : {})]
    : [path.join(folder ?? nativeBuild, "zephost"), process.env];
  const run = spawnSync(command, args, { encoding: "utf8", env, timeout: 60000 });
  return { status: run.status, stderr: run.stderr.replaceAll("\r\n", "\n") };
}

test("every command-line mistake is named, then the usage", () => {
  const mistakes = [
    [["--port", "99999"], '--port takes a number from 1 to 65535, not "99999"'],
    [["--port", "12x"], '--port takes a number from 1 to 65535, not "12x"'],
    [["--port"], "--port needs a value"],
    [["--module"], "--module needs a value"],
    [["--bogus"], 'unknown argument "--bogus"'],
    [["-asconsole", "-asuser", "event", "S-1-5-21-1"], "-asconsole takes -asuser <stop event> <sid> notused"],
  ];
  for (const [args, text] of mistakes) {
    const run = zephost(args);
    assert.equal(run.status, 2, args.join(" "));
    assert.ok(run.stderr.startsWith(`zephost: ${text}\nusage: zephost [--module PATH] [--port N]\n`), run.stderr);
  }
});

test("a module that cannot be loaded is named with the system's reason", () => {
  if (underWine) {
    const run = zephost(["--module", "Z:\\nonexistent\\zep.dll"]);
    assert.equal(run.status, 1);
    assert.equal(run.stderr, "zephost: cannot load Z:\\nonexistent\\zep.dll: Module not found. (error 126)\n");
  } else {
    const run = zephost(["--module", "/nonexistent/libzep.so"]);
    assert.equal(run.status, 1);
    assert.equal(run.stderr,
                 "zephost: cannot load /nonexistent/libzep.so: /nonexistent/libzep.so: cannot open shared object file: " +
                 "No such file or directory\n");
  }
});

test("a port another program holds is said to be in use, with the way round it", async () => {
  const { host, origin } = await startZephost(["--port", String(await freePort())]);
  try {
    const port = new URL(origin).port;
    const names = underWine ? ["zephost.exe", "zep.dll"] : ["zephost", "libzep.so"];
    const run = zephost(["--port", port], scratchFolder(names, underWine ? root + "build/windows/" : nativeBuild));
    assert.equal(run.status, 1);
    assert.equal(run.stderr, `zephost: cannot listen on 127.0.0.1:${port}: the port is in use by another program ` +
                             "(start zephost with --port N to use another port)\n");
  } finally {
    await stopHost(host);
  }
});
