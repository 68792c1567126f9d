#include "console_page.h"

namespace zephost {

// The console: every command over WebSocket, its reply paired by cmdId,
// labelled, errors shown as errors; it reconnects when the host comes back.
const std::string& ConsolePage() {
  static const std::string page = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>zep service manager console</title>
<style>
  body { font-family: system-ui, sans-serif; margin: 1.5rem; background: #f6f7f9; color: #1d2330; }
  h1 { font-size: 1.3rem; margin: 0 0 .3rem; }
  #module { font-size: .9rem; color: #4a5262; margin-bottom: .3rem; }
  #status { font-size: .9rem; margin-bottom: 1rem; }
  .connected { color: #1a7f37; } .disconnected { color: #b42318; }
  fieldset { border: 1px solid #c9ced8; border-radius: 6px; margin: 0 0 .8rem; background: #fff; }
  legend { font-weight: 600; }
  button { margin: .2rem .3rem .2rem 0; padding: .3rem .7rem; }
  input { width: 7rem; margin-right: .3rem; }
  input.invalid { outline: 2px solid #b42318; }
  #problem { color: #b42318; min-height: 1.2rem; font-size: .9rem; }
  #log { list-style: none; padding: 0; }
  #log li { background: #fff; border: 1px solid #d6dae2; border-radius: 6px; margin: .5rem 0; padding: .5rem; }
  #log li.error { border-color: #b42318; background: #fff4f2; }
  #log li.waiting { opacity: .7; }
  #log .head { font-weight: 600; }
  #log .time { color: #4a5262; font-weight: normal; margin-left: .5rem; }
  #log dl { display: grid; grid-template-columns: max-content auto; gap: .1rem .8rem; margin: .4rem 0; }
  #log dt { color: #4a5262; } #log dd { margin: 0; }
  #log .error-text { color: #b42318; margin: .3rem 0; }
  #log pre, #log details { margin: .3rem 0 0; white-space: pre-wrap; word-break: break-all; font-size: .8rem; }
</style>
</head>
<body>
<h1>zep service manager console</h1>
<div id="module">module: <span id="versionTag">?</span>, alias <span id="alias">?</span>, port <span id="port">?</span></div>
<div id="status" class="disconnected">connecting...</div>
<fieldset><legend>Information</legend>
  <button id="VersionInfo">VersionInfo</button>
  <button id="TKVersion">TKVersion</button>
  <button id="GetServerInfo">GetServerInfo</button>
  <button id="GetPorts">GetPorts</button> user key <input id="userKey" value="0">
</fieldset>
<fieldset><legend>Settings</legend>
  host <input id="host">
  zep <input id="zepPort"> zep ssl <input id="zepSslPort">
  qro <input id="qroPort"> qro ssl <input id="qroSslPort">
  <button id="SetServerInfo">SetServerInfo</button><br>
  address <input id="checkAddress" value="127.0.0.1"> ports <input id="checkPort1" value="18625">
  <input id="checkPort2" value="18626"> <button id="CheckQROPort">CheckQROPort</button>
</fieldset>
<fieldset><legend>System</legend>
  <button id="GetLocalIP">GetLocalIP</button>
  <button id="AddFirewall">AddFirewall</button>
  <button id="clearLog">Clear log</button>
</fieldset>
<div id="problem"></div>
<ol id="log"></ol>
<script>
"use strict";
// Replies are paired with their commands by the cmdId they echo. Raw replies
// carry none (GetServerInfo, SetServerInfo and GetLocalIP answer with a bare
// object or array): they go to the oldest command waiting for such a reply.
const kRawReplies = new Set(["GetServerInfo", "SetServerInfo", "GetLocalIP"]);
const pending = new Map();   // cmdId -> command waiting for its reply
const unsent = [];           // texts of commands given before the connection opened
let nextId = 1, socket = null;
const replies = [];
window.zepReplies = replies;

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function setConnected(on) {
  const status = document.getElementById("status");
  status.textContent = on ? "connected" : "disconnected, reconnecting...";
  status.className = on ? "connected" : "disconnected";
  for (const button of document.querySelectorAll("fieldset button:not(#clearLog)")) button.disabled = !on;
}

function problem(text) { document.getElementById("problem").textContent = text; }

function send(method, parameter) {
  const cmdId = "c" + nextId;
  const command = { id: String(nextId++), cmdId: cmdId, method: method };
  if (parameter) command.parameter = parameter;
  const text = JSON.stringify(command);
  const item = element("li", "waiting");
  const head = element("div", "head", method + " (" + cmdId + ")");
  item.append(head, element("pre", "sent", text));
  document.getElementById("log").prepend(item);
  pending.set(cmdId, { method: method, cmdId: cmdId, started: performance.now(), item: item, head: head });
  if (socket && socket.readyState === WebSocket.OPEN) transmit(text);
  else unsent.push(text);
  return cmdId;
}
window.zepSend = send;

function transmit(text) {
  try {
    socket.send(text);
  } catch (error) {
    problem("Sending failed: " + error.message);
  }
}

function labelled(pairs) {
  const list = element("dl");
  for (const [name, value] of pairs) list.append(element("dt", "", name), element("dd", "", String(value)));
  return list;
}

// The values of a reply, named.
function describe(method, reply) {
  const r = Array.isArray(reply.result) ? reply.result : [];
  switch (method) {
    case "VersionInfo":
      return labelled([["version", r[0]], ["description", r[1]], ["user key", r[2]], ["per-user mode", r[3]],
                       ["bits", r[4]]]);
    case "TKVersion": return labelled([["service version", r.at(-2)], ["service", r.at(-1)]]);
    case "CheckQROPort": return labelled([["ports", r[0] ? "free" : "in use"]]);
    case "GetPorts": {
      const ports = r[1] || {};
      return labelled(Object.entries(ports).map(([name, p]) => [name, "port " + p.port + ", SSL port " + p.sslPort]));
    }
    case "GetServerInfo": case "SetServerInfo":
      if (!reply.Host && reply.Host !== "") return labelled([["result", "refused: a value has the wrong type"]]);
      return labelled([["host", reply.Host], ["qro", "port " + reply.qro.port + ", SSL port " + reply.qro.sslPort],
                       ["zep", "port " + reply.zep.port + ", SSL port " + reply.zep.sslPort]]);
    case "GetLocalIP":
      return labelled([["addresses", Array.isArray(reply) && reply.length ? reply.join(", ") : "none"]]);
    default: return labelled([["result", r.map(String).join(", ")]]);
  }
}

// The settings fields hold what is stored: they are read on every connect
// (without a log entry), so a SetServerInfo changes only what was edited.
let settingsRead = false;
function readSettings() {
  const cmdId = "c" + nextId;
  pending.set(cmdId, { method: "GetServerInfo", cmdId: cmdId, silent: true });
  transmit(JSON.stringify({ id: String(nextId++), cmdId: cmdId, method: "GetServerInfo" }));
}
function showSettings(reply) {
  if (!reply || typeof reply.Host !== "string" || !reply.qro || !reply.zep) return;
  const fields = { host: reply.Host, zepPort: reply.zep.port, zepSslPort: reply.zep.sslPort, qroPort: reply.qro.port,
                   qroSslPort: reply.qro.sslPort };
  for (const [id, text] of Object.entries(fields)) document.getElementById(id).value = text;
  settingsRead = true;
}

function onReply(text) {
  let reply = null;
  try { reply = JSON.parse(text); } catch (e) { /* a raw text */ }
  let entry = reply && typeof reply.cmdId === "string" ? pending.get(reply.cmdId) : undefined;
  if (!entry) entry = [...pending.values()].find((waiting) => kRawReplies.has(waiting.method));
  if (entry && entry.silent) {
    pending.delete(entry.cmdId);
    showSettings(reply);
    return;
  }
  const isError = reply !== null && typeof reply.exception === "number";
  const ms = entry ? Math.round(performance.now() - entry.started) : null;
  replies.push({ method: entry ? entry.method : null, cmdId: entry ? entry.cmdId : null, text: text, ms: ms,
                 error: isError });
  const item = entry ? entry.item : element("li");
  if (entry) {
    pending.delete(entry.cmdId);
    entry.head.append(element("span", "time", ms + " ms"));
  } else {
    item.append(element("div", "head", "reply without its command"));
    document.getElementById("log").prepend(item);
  }
  item.classList.remove("waiting");
  if (isError) {
    item.classList.add("error");
    item.append(element("div", "error-text", "Error " + reply.exception + ": " + reply.description));
  } else if (reply !== null && entry) {
    item.append(describe(entry.method, reply));
    if (entry.method === "VersionInfo" && Array.isArray(reply.result)) {
      document.getElementById("userKey").value = reply.result[2];
    }
    if (entry.method === "GetServerInfo") showSettings(reply);
  }
  const raw = element("details");
  raw.append(element("summary", "", "reply"), element("pre", "", text));
  item.append(raw);
}

function connect() {
  socket = new WebSocket("ws://" + location.host + "/zep/console");
  socket.onopen = () => {
    setConnected(true);
    problem("");
    readSettings();
    while (unsent.length) transmit(unsent.shift());
  };
  socket.onclose = () => {
    setConnected(false);
    setTimeout(connect, 500);
  };
  socket.onmessage = (event) => onReply(event.data);
}

function value(id) { return document.getElementById(id).value; }
// A port from 0 to 65535, or null (and the field marked).
function port(id) {
  const field = document.getElementById(id);
  const ok = /^\d{1,5}$/.test(field.value) && Number(field.value) <= 65535;
  field.classList.toggle("invalid", !ok);
  return ok ? Number(field.value) : null;
}
function ports(ids) {
  const values = ids.map(port);
  if (values.includes(null)) {
    problem("Ports are numbers from 0 to 65535.");
    return null;
  }
  problem("");
  return values;
}

const actions = {
  VersionInfo: () => send("VersionInfo"),
  TKVersion: () => send("TKVersion"),
  GetServerInfo: () => send("GetServerInfo"),
  GetPorts: () => send("GetPorts", [value("userKey")]),
  SetServerInfo: () => {
    if (!settingsRead) return problem("The stored settings have not been read yet.");
    const p = ports(["zepPort", "zepSslPort", "qroPort", "qroSslPort"]);
    if (p) send("SetServerInfo", [value("host"), ...p]);
  },
  CheckQROPort: () => {
    const p = ports(["checkPort1", "checkPort2"]);
    if (p) send("CheckQROPort", [value("checkAddress"), ...p]);
  },
  GetLocalIP: () => send("GetLocalIP"),
  AddFirewall: () => send("AddFirewall"),
};
for (const [id, action] of Object.entries(actions)) document.getElementById(id).addEventListener("click", action);
document.getElementById("clearLog").addEventListener("click", () => { document.getElementById("log").textContent = ""; });
fetch("/zephost/info").then((r) => r.json()).then((info) => {
  document.getElementById("versionTag").textContent = info.versionTag;
  document.getElementById("alias").textContent = info.alias;
  document.getElementById("port").textContent = info.port;
}).catch(() => {});
setConnected(false);
connect();
</script>
</body>
</html>
)PAGE";
  return page;
}

}  // namespace zephost
