// Prints the benchmark table from Google Benchmark's JSON results.
import fs from "node:fs";
import path from "node:path";

const [folder, machine] = process.argv.slice(2);

// The runs of one results file, none when it is missing or empty.
function runs(file) {
  const full = path.join(folder, file);
  if (!fs.existsSync(full)) return [];
  const text = fs.readFileSync(full, "utf8");
  const start = text.indexOf("{");
  if (start < 0) return [];
  return JSON.parse(text.slice(start)).benchmarks.filter((run) => run.run_type !== "aggregate");
}

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted.length === 0 ? undefined : sorted[Math.floor(sorted.length / 2)];
};

// Time per operation by benchmark name (less "/threads:1" and the timing
// suffix): CPU time, or the measured time of benchmarks that time
// themselves; the best of the rounds. The two-thread figures: the median of
// the scaling runs.
function times(target) {
  const found = {};
  const scaling = runs(`${target}-scaling.json`);
  if (scaling.length > 0) {
    found.scaling = {
      command: median(scaling.map((run) => run.command_efficiency)),
      bare: median(scaling.map((run) => run.bare_efficiency)),
      ofBare: median(scaling.map((run) => run.of_bare)),
    };
  }
  // A figure taken against its anchor in alternating slices (bench/paired.h):
  // the median of the runs' ratios, with the times of that run.
  found.paired = {};
  for (const bench of ["command_bench", "store_bench"]) {
    const byName = {};
    for (const run of runs(`${target}-${bench}.json`)) {
      if (run.ratio === undefined) continue;
      (byName[run.run_name.split("/")[0]] ??= []).push(run);
    }
    for (const [name, all] of Object.entries(byName)) {
      const sorted = [...all].sort((a, b) => a.ratio - b.ratio);
      found.paired[name] = sorted[Math.floor(sorted.length / 2)];
    }
  }
  for (const bench of ["command_bench", "lock_bench", "store_bench", "identification_bench"]) {
    for (const run of runs(`${target}-${bench}.json`)) {
      if (run.ratio !== undefined) continue;
      const scale = { ns: 1, us: 1e3, ms: 1e6 }[run.time_unit] ?? 1;
      const name = run.name.replace(/\/iterations:\d+/, "").replace("/threads:1", "").replace("/real_time", "").replace("/manual_time", "");
      // Wine counts a thread's processor time in ticks: a run too short to
      // reach one has none, and its wall-clock time stands instead.
      const cpu = run.name.includes("manual_time") || run.cpu_time === 0 ? run.real_time : run.cpu_time;
      found[name] = Math.min(found[name] ?? Infinity, cpu * scale);
    }
  }
  return found;
}

const rows = [];
let allMet = true;
// A figure whose benchmark did not run (a filtered run) gives no row.
function ratio(target, what, value, anchorName, anchor, goal) {
  if (value === undefined || anchor === undefined) return;
  const r = value / anchor;
  const met = goal === undefined || r <= goal;
  allMet &&= met;
  rows.push([target, what, `${value.toFixed(0)} ns`, `${anchorName} ${anchor.toFixed(0)} ns`, `${r.toFixed(2)}x`,
             goal === undefined ? "(reported)" : `<= ${goal}x`, goal === undefined ? "" : met ? "met" : "NOT MET"]);
}
// A pair from bench/paired.h: its figure, anchor and ratio as measured together.
function pairedRatio(target, what, pair, anchorName, goal) {
  if (pair === undefined) return;
  const met = pair.ratio <= goal;
  allMet &&= met;
  rows.push([target, what, `${pair.figure_ns.toFixed(0)} ns`, `${anchorName} ${pair.anchor_ns.toFixed(0)} ns`,
             `${pair.ratio.toFixed(2)}x`, `<= ${goal}x`, met ? "met" : "NOT MET"]);
}
function absolute(target, what, value, goal) {
  if (value === undefined || Number.isNaN(value)) return;
  const met = goal === undefined || value <= goal;
  allMet &&= met;
  rows.push([target, what, `${value.toFixed(0)} ns`, "", "", goal === undefined ? "(reported)" : `<= ${goal} ns`,
             goal === undefined ? "" : met ? "met" : "NOT MET"]);
}

for (const target of ["native", "wine"]) {
  const t = times(target);
  if (!t.BareJsonCpp) continue;
  const native = target === "native";
  pairedRatio(target, "TKVersion command, logging off", t.paired.CommandAgainstBare, "bare JsonCpp", 1.5);
  absolute(target, "a log line, logging on", (t.CommandLoggingOn - t.CommandLoggingOff) / 8);
  ratio(target, "TKVersion command, settings stamped an hour ahead", t.CommandFileStampedAhead, "the command",
        t.CommandLoggingOff);
  ratio(target, "first command of a new thread", t.FirstCommandOnNewThread, "its second", t.SecondCommandOnNewThread, 2);
  // Two threads' throughput over the sum of each one's alone on its core.
  if (t.scaling) {
    const { command, bare: json, ofBare: r } = t.scaling;
    const met = r >= 0.9;
    allMet &&= met;
    rows.push([target, "two threads' commands per second, of one per core", `${(100 * command).toFixed(0)}%`,
               `bare JsonCpp ${(100 * json).toFixed(0)}%`, `${r.toFixed(2)}`, ">= 0.9 of the anchor's",
               met ? "met" : "NOT MET"]);
  }
  ratio(target, "TKVersion command, 1,000 live threads", t.CommandAmongLiveThreads, "bare JsonCpp", t.BareJsonCpp, 2);
  ratio(target, "first command of a new thread, 1,000 live", t.FirstCommandAmongLiveThreads, "its second",
        t.SecondCommandAmongLiveThreads, 2);
  const sharedAnchor = native ? "std::shared_mutex" : "SRWLOCK";
  ratio(target, "lock shared + unlock", t.ReentrantShared, sharedAnchor, native ? t.SharedMutexShared : t.SrwShared,
        1.5);
  ratio(target, "lock exclusive + unlock", t.ReentrantExclusive, sharedAnchor,
        native ? t.SharedMutexExclusive : t.SrwExclusive, 1.5);
  absolute(target, "GetImage, present key of 1e5, same key", t.GetImageFoundHot, native ? 100 : undefined);
  pairedRatio(target, "GetImage, present key of 1e5, random keys", t.paired.GetImageAgainstRandomRead,
              "random read in 60 MB", 3);
  ratio(target, "GetImage, 1e5 keys sharing a 200-byte prefix", t.GetImagePrefixedFound, "random keys",
        t.GetImageFound, 3);
  ratio(target, "GetImage, 1e5 keys crafted against the hash", t.GetImageCraftedFound, "random keys",
        t.GetImageFound, 3);
  ratio(target, "SetImage, storing 1e5 new crafted keys, per key", t.StoreNewCraftedKeys, "plain keys",
        t.StoreNewKeys, 3);
  ratio(target, "the crafted keys, table keyed as they assume", t.CraftedKeysAgainstTheirKey, "random keys",
        t.GetImageFound);
  absolute(target, "SetImage, present key of 1e5, same key", t.SetImageOverwriteHot, native ? 250 : undefined);
  ratio(target, "SetImage, present key of 1e5, random keys", t.SetImageOverwrite, "random read in 60 MB",
        t.RandomReadAnchor);
  absolute(target, "Reserved query", t.ReservedQuery, native ? 150 : undefined);
  absolute(target, native ? "identifying a connection, 20,000 sockets open elsewhere" : "identifying a connection (TCP table)",
           t.IdentifyConnection, native ? 1e6 : undefined);
}

const header = ["target", "what", "time", "anchor", "ratio", "goal", ""];
const widths = header.map((h, i) => Math.max(h.length, ...rows.map((r) => r[i].length)));
const line = (r) => "| " + r.map((c, i) => c.padEnd(widths[i])).join(" | ") + " |";
console.log(`Measured on ${machine} (CPU time per operation, the best of five rounds; pairs and two threads: the median run).`);
console.log(line(header));
console.log("| " + widths.map((w) => "-".repeat(w)).join(" | ") + " |");
for (const r of rows) console.log(line(r));
console.log(allMet ? "every goal met" : "some goals not met");
