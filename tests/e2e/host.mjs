// Starts a zephost and resolves, once it listens, with the process, the
// console's origin and what it has printed so far (a function).
import { spawn } from "node:child_process";
import net from "node:net";

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

export function startZephost(args, options = {}) {
  const root = new URL("../../", import.meta.url).pathname;
  if (!underWine) return startHost(process.env.ZEPHOST ?? root + "build/native/zephost", args, options);
  return startHost(root + "scripts/zephost-wine.sh", args, {
    ...options,
    env: { ...process.env, ...options.env, WINEDEBUG: "-all",
           WINEPREFIX: process.env.ZEP_WINEPREFIX ?? root + "build/windows/wineprefix" },
  });
}
