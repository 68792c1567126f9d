// zephost's messages for a mistaken command line and a module it cannot
// load, natively and (ZEP_E2E_WINE=1) from zephost.exe under Wine.
import { test } from "node:test";
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { nativeBuild, root, underWine, wineEnv } from "./host.mjs";

function zephost(args) {
  const [command, env] = underWine
    ? [root + "scripts/zephost-wine.sh", wineEnv()]
    : [nativeBuild + "zephost", process.env];
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
