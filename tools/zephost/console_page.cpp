#include "console_page.h"

namespace zephost {

const std::string& ConsolePage() {
  static const std::string page = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>zep service manager console</title>
<style>
  body { font-family: system-ui, sans-serif; margin: 1.5rem; background: #f6f7f9; color: #1d2330; }
  h1 { font-size: 1.3rem; margin: 0 0 .3rem; }
  #status { font-size: .9rem; margin-bottom: 1rem; }
  .connected { color: #1a7f37; } .closed { color: #b42318; }
  fieldset { border: 1px solid #c9ced8; border-radius: 6px; margin: 0 0 .8rem; background: #fff; }
  legend { font-weight: 600; }
  button { margin: .2rem .3rem .2rem 0; padding: .3rem .7rem; }
  input { width: 7rem; margin-right: .3rem; }
  #log { list-style: none; padding: 0; }
  #log li { background: #fff; border: 1px solid #d6dae2; border-radius: 6px; margin: .5rem 0; padding: .5rem; }
  #log pre { margin: .3rem 0 0; white-space: pre-wrap; word-break: break-all; font-size: .85rem; }
</style>
</head>
<body>
<h1>zep service manager console</h1>
<div id="status" class="closed">connecting...</div>
<fieldset><legend>Information</legend>
  <button id="VersionInfo">VersionInfo</button>
  <button id="TKVersion">TKVersion</button>
  <button id="GetServerInfo">GetServerInfo</button>
  <button id="GetPorts">GetPorts</button> user key <input id="userKey" value="0">
</fieldset>
<fieldset><legend>Settings</legend>
  host <input id="host" value="127.0.0.1">
  zep <input id="zepPort" value="18625"> zep ssl <input id="zepSslPort" value="18626">
  qro <input id="qroPort" value="18622"> qro ssl <input id="qroSslPort" value="18623">
  <button id="SetServerInfo">SetServerInfo</button><br>
  address <input id="checkAddress" value="127.0.0.1"> ports <input id="checkPort1" value="18625">
  <input id="checkPort2" value="18626"> <button id="CheckQROPort">CheckQROPort</button>
</fieldset>
<fieldset><legend>System</legend>
  <button id="GetLocalIP">GetLocalIP</button>
  <button id="AddFirewall">AddFirewall</button>
</fieldset>
<ol id="log"></ol>
<script>
"use strict";
// The host answers a connection's commands one at a time, in order.
const pending = [];
let nextId = 1;
let socket;
const replies = [];
window.zepReplies = replies;

function show(title, text) {
  let shown = text;
  try { shown = JSON.stringify(JSON.parse(text), null, 2); } catch (e) { /* not JSON: as it came */ }
  const item = document.createElement("li");
  const head = document.createElement("strong");
  head.textContent = title;
  const body = document.createElement("pre");
  body.textContent = shown;
  item.append(head, body);
  document.getElementById("log").prepend(item);
}

function send(method, parameter) {
  const cmdId = "c" + nextId;
  const command = { id: String(nextId++), cmdId: cmdId, method: method };
  if (parameter) command.parameter = parameter;
  pending.push({ method: method, cmdId: cmdId });
  socket.send(JSON.stringify(command));
  return cmdId;
}

function onReply(text) {
  let parsed = null;
  try { parsed = JSON.parse(text); } catch (e) { /* raw text */ }
  const sent = pending.shift() || { method: "reply", cmdId: null };
  const method = sent.method, cmdId = sent.cmdId;
  if (method === "VersionInfo" && parsed && Array.isArray(parsed.result)) {
    document.getElementById("userKey").value = parsed.result[2];
  }
  replies.push({ method: method, cmdId: cmdId, text: text });
  show(method + (cmdId ? " (" + cmdId + ")" : ""), text);
}

function value(id) { return document.getElementById(id).value; }
function number(id) { return Number(value(id)); }

function connect() {
  socket = new WebSocket("ws://" + location.host + "/zep/console");
  socket.onopen = () => { const s = document.getElementById("status"); s.textContent = "connected"; s.className = "connected"; };
  socket.onclose = () => { const s = document.getElementById("status"); s.textContent = "closed"; s.className = "closed"; };
  socket.onmessage = (event) => onReply(event.data);
}

const actions = {
  VersionInfo: () => send("VersionInfo"),
  TKVersion: () => send("TKVersion"),
  GetServerInfo: () => send("GetServerInfo"),
  GetPorts: () => send("GetPorts", [value("userKey")]),
  SetServerInfo: () => send("SetServerInfo", [value("host"), number("zepPort"), number("zepSslPort"), number("qroPort"), number("qroSslPort")]),
  CheckQROPort: () => send("CheckQROPort", [value("checkAddress"), number("checkPort1"), number("checkPort2")]),
  GetLocalIP: () => send("GetLocalIP"),
  AddFirewall: () => send("AddFirewall"),
};
for (const [id, action] of Object.entries(actions)) document.getElementById(id).addEventListener("click", action);
connect();
</script>
</body>
</html>
)PAGE";
  return page;
}

}  // namespace zephost
