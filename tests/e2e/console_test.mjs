// End to end: zephost serves the console page, headless Chromium opens it from
// http://127.0.0.1, runs each command over WebSocket and the replies are checked.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { freePort, startZephost, stopHost, underWine } from "./host.mjs";
import { chromium } from "playwright-core";

// ZEP_E2E_WINE=1: the Windows product, zephost.exe with zep.dll, under Wine.
let host, browser, page, origin;

// What the module's folder holds when the page opens.
const kStoredSettings = "[TK]\r\nServer=127.0.0.2\r\nPort_mn_0=qro\r\nPort_mp_0=11622\r\nPort_mn_1=zep\r\n" +
                        "Port_mp_1=11625\r\nSSLPort_mn_0=qro\r\nSSLPort_mp_0=11623\r\nSSLPort_mn_1=zep\r\n" +
                        "SSLPort_mp_1=11626\r\n";

let port;
async function start() {
  port ??= await freePort();
  const started = await startZephost(["--port", String(port)], { settings: kStoredSettings });
  host = started.host;
  return started.origin;
}

before(async () => {
  origin = await start();
  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    timeout: 60000,
  });
  page = await browser.newPage();
  await page.goto(origin + "/", { timeout: 30000 });
  await page.waitForSelector("#status.connected", { timeout: 15000 });
});

after(async () => {
  if (browser) await browser.close();
  if (host) assert.equal(await stopHost(host), 0);
});

// Clicks a button and returns the parsed reply (or the raw text).
async function run(button, on = page) {
  const before = await on.evaluate(() => window.zepReplies.length);
  await on.click("#" + button);
  await on.waitForFunction((n) => window.zepReplies.length > n, before, { timeout: 20000 });
  const reply = await on.evaluate((n) => window.zepReplies[n], before);
  assert.equal(reply.method, button);
  try {
    return { ...reply, json: JSON.parse(reply.text) };
  } catch {
    return { ...reply, json: null };
  }
}

test("VersionInfo fills in the user key, the reply paired by its cmdId", async () => {
  const reply = await run("VersionInfo");
  assert.equal(reply.json.cmdId, reply.cmdId);
  assert.equal(await page.inputValue("#userKey"), reply.json.result[2]);
});

test("the settings fields show the stored settings, without a log entry", async () => {
  await page.waitForFunction(() => document.getElementById("host").value !== "", null, { timeout: 15000 });
  const fields = {};
  for (const id of ["host", "zepPort", "zepSslPort", "qroPort", "qroSslPort"]) fields[id] = await page.inputValue("#" + id);
  assert.deepEqual(fields, { host: "127.0.0.2", zepPort: "11625", zepSslPort: "11626", qroPort: "11622",
                             qroSslPort: "11623" });
  assert.equal(await page.locator("#log li", { hasText: "GetServerInfo" }).count(), 0);
});

test("a fresh install's console, opened as localhost, runs local-only commands and keeps unset ports", async () => {
  const fresh = await startZephost(["--port", String(await freePort())]);
  const freshPage = await browser.newPage();
  try {
    const freshPort = new URL(fresh.origin).port;
    await freshPage.goto(`http://localhost:${freshPort}/?from=test`, { timeout: 30000 });
    assert.equal(freshPage.url(), `http://127.0.0.1:${freshPort}/?from=test`);
    await freshPage.waitForSelector("#status.connected", { timeout: 15000 });
    await freshPage.waitForFunction(() => document.getElementById("qroSslPort").placeholder === "not set", null,
                                    { timeout: 15000 });
    const fields = {};
    for (const id of ["zepPort", "zepSslPort", "qroPort", "qroSslPort"]) fields[id] = await freshPage.inputValue("#" + id);
    assert.deepEqual(fields, { zepPort: "", zepSslPort: "", qroPort: "", qroSslPort: "" });
    await freshPage.fill("#host", "127.0.0.1");
    await freshPage.fill("#zepPort", "28625");
    const expected = '{"Host":"127.0.0.1","qro":{"port":"-1","sslPort":"-1"},"zep":{"port":"28625","sslPort":"-1"}}';
    const set = await run("SetServerInfo", freshPage);
    if (underWine) {
      // Under Wine the browser, a Linux process, is no user Wine knows: refused.
      assert.deepEqual([set.json.description, set.json.result],
                       ["Only an administrator of this machine may do this", ["127.0.0.1", 28625, -1, -1, -1, false]]);
    } else {
      assert.equal(set.text, expected);
      assert.equal((await run("GetServerInfo", freshPage)).text, expected);
    }
  } finally {
    await freshPage.close();
    assert.equal(await stopHost(fresh.host), 0);
  }
});

test("the header names the module and the port", async () => {
  await page.waitForFunction(() => document.getElementById("versionTag").textContent !== "?");
  assert.deepEqual([await page.textContent("#versionTag"), await page.textContent("#alias"),
                    await page.textContent("#port")], ["kelpm2_16261212", "zep", String(port)]);
});

test("an error reply is shown as an error", async () => {
  await page.fill("#userKey", "12345");
  const reply = await run("GetPorts");
  assert.equal(reply.json.exception, -2408);
  const item = page.locator("#log li.error").first();
  assert.equal(await item.locator(".error-text").textContent(), "Error -2408: User SID is empty.");
  assert.match(await item.locator(".head").textContent(), /^GetPorts \(c\d+\)\d+ ms$/);
});

test("ports are checked before anything is sent", async () => {
  const before = await page.evaluate(() => document.querySelectorAll("#log li").length);
  await page.fill("#checkPort1", "70000");
  await page.click("#CheckQROPort");
  assert.equal(await page.textContent("#problem"), "Ports are numbers from 0 to 65535.");
  assert.equal(await page.evaluate(() => document.querySelectorAll("#log li").length), before);
  await page.fill("#checkPort1", "1");
});

test("commands given before the connection opens are paired with their replies", async () => {
  await page.reload();
  await page.evaluate(() => {
    window.zepSend("TKVersion");
    window.zepSend("GetServerInfo");
    window.zepSend("ChangePort");
  });
  await page.waitForFunction(() => window.zepReplies.length === 3, null, { timeout: 20000 });
  const paired = await page.evaluate(() => window.zepReplies.map((r) => [r.method, r.text]));
  const byMethod = Object.fromEntries(paired);
  assert.match(byMethod.TKVersion, /"event" : "TKVersion"/);
  assert.match(byMethod.GetServerInfo, /^\{"Host":/);
  assert.match(byMethod.ChangePort, /"method" : "ChangePort"/);
  const labels = await page.locator("#log li").first().locator("dt").allTextContents();
  assert.deepEqual(labels, ["result"]);  // ChangePort, the last given, stands first
});

test("the page reconnects when the host comes back", async () => {
  assert.equal(await stopHost(host), 0);
  await page.waitForSelector("#status.disconnected", { timeout: 15000 });
  assert.equal(await page.isDisabled("#VersionInfo"), true);
  origin = await start();
  await page.waitForSelector("#status.connected", { timeout: 30000 });
  assert.equal(await page.isDisabled("#VersionInfo"), false);
  const reply = await run("VersionInfo");
  assert.equal(reply.json.result[0], "16, 2, 6, 1212");
  // For people to look at: the console after a session of commands.
  const shots = new URL(underWine ? "../../build/windows/" : "../../build/native/", import.meta.url).pathname;
  await page.screenshot({ path: shots + "console.png", fullPage: true });
});
