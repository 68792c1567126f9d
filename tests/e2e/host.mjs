// Starts a zephost and resolves, once it listens, with the process, the
// console's origin and what it has printed so far (a function).
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";

export const root = new URL("../../", import.meta.url).pathname;
export const nativeBuild = root + "build/native/";

// A folder of its own, removed when the tests end, with copies of the named
// files of a build folder. A module copied there keeps its settings and log
// there, so no test leaves state in the build folder that scripts/run.sh uses.
const scratchFolders = [];
process.on("exit", () => {
  for (const folder of scratchFolders) fs.rmSync(folder, { recursive: true, force: true });
});
export function scratchFolder(names = [], from = nativeBuild) {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), "zep-e2e-"));
  scratchFolders.push(folder);
  fs.chmodSync(folder, 0o755);  // a per-user copy runs zephost from here
  for (const name of names) {
    fs.copyFileSync(path.join(from, name), path.join(folder, name));
    fs.chmodSync(path.join(folder, name), 0o755);
  }
  return folder;
}

// A loopback port that nothing listens on right now.
export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on("error", reject);
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// options.wrap: shell words the command runs under (say "ulimit -n 64; exec").
export function startHost(command, args, options = {}) {
  const { wrap, ...spawnOptions } = options;
  if (wrap) [command, args] = ["/bin/sh", ["-c", `${wrap} "$0" "$@"`, command, ...args]];
  return new Promise((resolve, reject) => {
    const host = spawn(command, args, { stdio: ["ignore", "pipe", "inherit"], ...spawnOptions });
    const timer = setTimeout(() => reject(new Error("zephost did not start")), 15000);
    let output = "";
    host.stdout.on("data", (chunk) => {
      output += chunk;
      const match = output.match(/console at (http:\/\/127\.0\.0\.1:\d+)\//);
      if (match) {
        clearTimeout(timer);
        resolve({ host, origin: match[1], output: () => output });
      }
    });
    host.on("exit", (code) => reject(new Error(`zephost ended early (${code})`)));
  });
}

// zephost natively, or with ZEP_E2E_WINE=1 zephost.exe with zep.dll under Wine,
// started through the launcher that turns SIGTERM into Ctrl+C there.
export const underWine = process.env.ZEP_E2E_WINE === "1";

// The environment of a program under Wine: quiet, in the Windows build's prefix.
export function wineEnv(extra = {}) {
  return { ...process.env, ...extra, WINEDEBUG: "-all",
           WINEPREFIX: process.env.ZEP_WINEPREFIX ?? root + "build/windows/wineprefix" };
}

// zephost and the module are copies in a scratch folder (options.settings:
// the text of its TKConfiguration.ini), so that the per-user copies that
// zephost starts of itself load the same module.
export function startZephost(args, options = {}) {
  const { settings, ...hostOptions } = options;
  const names = underWine ? ["zephost.exe", "zep.dll"] : ["zephost", "libzep.so"];
  const folder = scratchFolder(names, underWine ? root + "build/windows/" : nativeBuild);
  if (settings !== undefined) fs.writeFileSync(path.join(folder, "TKConfiguration.ini"), settings);
  if (!underWine) return startHost(path.join(folder, "zephost"), args, hostOptions);
  return startHost(root + "scripts/zephost-wine.sh", args, {
    ...hostOptions,
    env: wineEnv({ ...hostOptions.env, ZEPHOST_EXE: path.join(folder, "zephost.exe") }),
  });
}

// Ends a host with SIGTERM (if it still runs); its exit code.
export function stopHost(running) {
  if (running.exitCode !== null) return Promise.resolve(running.exitCode);
  const ended = new Promise((resolve) => running.on("exit", resolve));
  running.kill("SIGTERM");
  return ended;
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export function connect(port) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, "127.0.0.1", () => resolve(socket));
    socket.on("error", reject);
  });
}

// Writes the text on a connection of its own; the raw answer once the host ends it.
export function rawRequest(port, text) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, "127.0.0.1", () => socket.write(text));
    let answer = "";
    socket.on("data", (chunk) => (answer += chunk));
    socket.on("end", () => resolve(answer));
    socket.on("error", reject);
  });
}
