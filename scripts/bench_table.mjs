// Prints the benchmark table from Google Benchmark's JSON results.
import fs from "node:fs";
import path from "node:path";

const [folder, machine] = process.argv.slice(2);

function times(target) {
  const found = {};
  for (const bench of ["command_bench", "lock_bench", "store_bench"]) {
    const file = path.join(folder, `${target}-${bench}.json`);
    if (!fs.existsSync(file)) continue;
    const text = fs.readFileSync(file, "utf8");
    const start = text.indexOf("{");
    if (start < 0) continue;
    for (const run of JSON.parse(text.slice(start)).benchmarks) {
      const scale = { ns: 1, us: 1e3, ms: 1e6 }[run.time_unit] ?? 1;
      found[run.name.replace("/threads:1", "")] = run.cpu_time * scale;
    }
  }
  return found;
}

const rows = [];
let allMet = true;
function ratio(target, what, value, anchorName, anchor, goal) {
  const r = value / anchor;
  const met = goal === undefined || r <= goal;
  allMet &&= met;
  rows.push([target, what, `${value.toFixed(0)} ns`, `${anchorName} ${anchor.toFixed(0)} ns`, `${r.toFixed(2)}x`,
             goal === undefined ? "(reported)" : `<= ${goal}x`, goal === undefined ? "" : met ? "met" : "NOT MET"]);
}
function absolute(target, what, value, goal) {
  const met = goal === undefined || value <= goal;
  allMet &&= met;
  rows.push([target, what, `${value.toFixed(0)} ns`, "", "", goal === undefined ? "(reported)" : `<= ${goal} ns`,
             goal === undefined ? "" : met ? "met" : "NOT MET"]);
}

for (const target of ["native", "wine"]) {
  const t = times(target);
  if (!t.BareJsonCpp) continue;
  ratio(target, "TKVersion command, logging off", t.CommandLoggingOff, "bare JsonCpp", t.BareJsonCpp, 2);
  absolute(target, "a log line, logging on", (t.CommandLoggingOn - t.CommandLoggingOff) / 8);
  const sharedAnchor = target === "native" ? "std::shared_mutex" : "SRWLOCK";
  ratio(target, "lock shared + unlock", t.ReentrantShared, sharedAnchor,
        target === "native" ? t.SharedMutexShared : t.SrwShared, 1.5);
  ratio(target, "lock exclusive + unlock", t.ReentrantExclusive, sharedAnchor,
        target === "native" ? t.SharedMutexExclusive : t.SrwExclusive, 1.5);
  const native = target === "native";
  absolute(target, "GetImage, present key of 1e5, same key", t.GetImageFoundHot, native ? 150 : undefined);
  ratio(target, "GetImage, present key of 1e5, random keys", t.GetImageFound, "random read in 60 MB",
        t.RandomReadAnchor);
  absolute(target, "SetImage, present key of 1e5, same key", t.SetImageOverwriteHot, native ? 250 : undefined);
  ratio(target, "SetImage, present key of 1e5, random keys", t.SetImageOverwrite, "random read in 60 MB",
        t.RandomReadAnchor);
  absolute(target, "Reserved query", t.ReservedQuery, target === "native" ? 150 : undefined);
}

const header = ["target", "what", "time", "anchor", "ratio", "goal", ""];
const widths = header.map((h, i) => Math.max(h.length, ...rows.map((r) => r[i].length)));
const line = (r) => "| " + r.map((c, i) => c.padEnd(widths[i])).join(" | ") + " |";
console.log(`Measured on ${machine} (CPU time per operation).`);
console.log(line(header));
console.log("| " + widths.map((w) => "-".repeat(w)).join(" | ") + " |");
for (const r of rows) console.log(line(r));
console.log(allMet ? "every goal met" : "some goals not met");
