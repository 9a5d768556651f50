// The depot's page: one row per machine and run, read from what the machines
// PUT into results/DAY/. Every byte of a log, a file name or a listing comes
// from a machine on the network and may be garbage or hostile: it is
// bounded, checked, and only ever put into the page as text.
//
// A fleet leaves tens of thousands of runs a day, so the page never reads
// every log: it lists the day folders, then the day shown, counts that day
// from the file names alone (the verdict is in the name), looks through the
// other recent days' names for runs that need someone, and reads only the
// logs of the rows it shows.
"use strict";

const REFRESH_MS = 5000;
const FETCH_TIMEOUT_MS = 4000;
// A day of 20,000 runs lists in about 8 MiB; a slow link needs longer for
// that than for a log.
const LISTING_TIMEOUT_MS = 30000;
const MAX_DAYS_BYTES = 1024 * 1024;
// Runs needing attention are looked for in this many of the newest days
// (and nodate); a day's listing is read again only when its folder changed.
const MAX_SCANNED_DAYS = 31;
// Folders that are no plausible day are listed apart, this many at most.
const MAX_APART = 20;
const MAX_DAY_BYTES = 32 * 1024 * 1024;
const MAX_LOG_BYTES = 4096;
// Runs that need someone are listed above the rest, so a flood of newer
// logs cannot push them off; they have a bound of their own.
const MAX_ATTENTION = 500;
const MAX_ROWS = 300;
const PARALLEL_FETCHES = 4;
const MAX_FIELD = 200;
const MAX_NAME = 96;

// The only names the page reads or links to; anything else was not written
// by Morvane and is counted, not shown.
const DAY_NAME = /^(?:\d{8}|nodate)$/;
const RUN_FILE = new RegExp("^(([A-Za-z0-9_][A-Za-z0-9._-]{0,23})-([0-9A-F]{12,32})-" +
  "(?:(\\d{8})-(\\d{6})(?:-[0-9A-Fa-f]{8}|-([2-9]))?|nodate-[0-9A-Fa-f]{8}(?:-[0-9A-Fa-f]{8}|-([2-9]))?))" +
  "\\.(?:(run|bin)|(flashed|uptodate|unchanged|incomplete|noimage|conflict)\\.log)$");

// What a file's name says, or null for a name no machine makes: the run's
// base, serial, MAC, start date and time (none for nodate), its -2 to -9,
// and what the file is: "run", "bin", "conflict" (the machine met a
// writer before it under this base and moved on) or a verdict.
function parseName(name) {
  const named = name.length <= MAX_NAME ? RUN_FILE.exec(name) : null;
  if (named === null) return null;
  return { base: named[1], serial: named[2], mac: named[3], date: named[4], time: named[5],
           suffix: Number(named[6] || named[7] || 0), kind: named[8] || named[9] };
}

const VERDICT_STATES = {
  flashed: "flashed",
  uptodate: "uptodate",
  noimage: "noimage",
  unchanged: "failed-unchanged",
  incomplete: "failed-incomplete",
};
// Runs needing attention, most urgent first: a .run alone costs a stranger
// one PUT and ranks last, so made-up names cannot push a real machine off.
function attentionRank(run) {
  if (run.state === "failed-incomplete") return 0;
  if (run.state === "running" && run.bin !== null) return 1;
  if (run.state === "conflicting") return 2;
  if (run.state === "running") return 3;
  return -1;
}

const STATE_WORDS = {
  flashed: "flashed",
  uptodate: "up to date",
  noimage: "no image for this machine",
  "failed-unchanged": "failed, EC unchanged",
  "failed-incomplete": "failed, EC incomplete",
  running: "running",
  conflicting: "more than one writer",
  unreadable: "unreadable log",
};

const STATUS_MEANINGS = {
  0x2: "command line refused",
  0x3: "wrong machine, or a capsule Morvane does not take",
  0x4: "image over 16 MiB",
  0x7: "a block never verified",
  0x9: "out of memory",
  0xe: "image not found",
  0xf: "save file exists",
  0x10: "depot unreachable",
  0x12: "EC not answering",
  0x19: "capsule older than the machine allows",
  0x1a: "not signed under the trusted certificate",
  0x1b: "verify differs or save copy bad",
  0x1c: "closing check found a difference",
  0x1f: "image shorter than its size",
  0x21: "CRC mismatch",
};

// Printable ASCII only, cut to a length a table cell can hold.
function shown(text, max = MAX_FIELD) {
  const clean = String(text).replace(/[^\x20-\x7e]/g, "?");
  return clean.length > max ? clean.slice(0, max - 1) + "\u2026" : clean;
}

// The body, cut at limit bytes when partial (else refused over it), and
// the depot's own time from the answer's headers.
async function fetchAnswer(url, limit, timeout = FETCH_TIMEOUT_MS, partial = false) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), timeout);
  try {
    const response = await fetch(url, { cache: "no-store", signal: abort.signal, redirect: "error" });
    if (!response.ok) throw new Error("HTTP " + response.status);
    const reader = response.body.getReader();
    const chunks = [];
    let cut = false;
    let total = 0;
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      total += value.length;
      if (total > limit) {
        reader.cancel();
        if (!partial) throw new Error("over " + limit + " bytes");
        chunks.push(value.subarray(0, value.length - (total - limit)));
        total = limit;
        cut = true;
        break;
      }
      chunks.push(value);
    }
    const bytes = new Uint8Array(total);
    let at = 0;
    for (const chunk of chunks) { bytes.set(chunk, at); at += chunk.length; }
    // Logs are ASCII; a byte-for-byte decoding lets shown() mark the rest.
    return { text: new TextDecoder("latin1").decode(bytes), cut: cut,
             time: depotTime(response.headers) };
  } finally {
    clearTimeout(timer);
  }
}

async function fetchBounded(url, limit, timeout = FETCH_TIMEOUT_MS) {
  return (await fetchAnswer(url, limit, timeout)).text;
}

// The depot's date and time: its own clock as it sends it with a listing
// (its local time), else the answer's Date; the browser's clock only when
// neither came. {day: "YYYYMMDD", ms, sent: the Date, for folder times}.
function depotTime(headers) {
  const sent = Date.parse(headers.get("Date") || "");
  const time = clockOf(headers, sent);
  time.sent = Number.isFinite(sent) ? sent : Date.now();
  return time;
}

function clockOf(headers, sent) {
  const local = /^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})/.exec(headers.get("X-Depot-Time") || "");
  if (local) {
    return { day: local[1] + local[2] + local[3],
             ms: Date.UTC(+local[1], +local[2] - 1, +local[3], +local[4], +local[5], +local[6]) };
  }
  const when = new Date(Number.isFinite(sent) ? sent : Date.now());
  return { day: dayOf(when), ms: Date.UTC(when.getFullYear(), when.getMonth(), when.getDate(), when.getHours(),
                                         when.getMinutes(), when.getSeconds()) };
}

function dayOf(when) {
  return String(when.getFullYear()).padStart(4, "0") + String(when.getMonth() + 1).padStart(2, "0") +
    String(when.getDate()).padStart(2, "0");
}

// A YYYYMMDD that is a date of the calendar, as a day number; NaN if not.
function dayNumber(day) {
  const parts = /^(\d{4})(\d{2})(\d{2})$/.exec(day);
  if (!parts) return NaN;
  const ms = Date.UTC(+parts[1], +parts[2] - 1, +parts[3]);
  const back = new Date(ms);
  if (back.getUTCFullYear() !== +parts[1] || back.getUTCMonth() !== +parts[2] - 1 || back.getUTCDate() !== +parts[3]) {
    return NaN;
  }
  return ms / 86400000;
}

// nginx's JSON listing of a folder, with its text; null for the listing
// when the text is the same as before, which then need not be read again.
// A listing over its bound is read as far as the bound and cut after its
// last whole entry (nginx writes one a line): what fits is shown, and cut
// says that the rest was left out.
async function listingOf(path, limit, before = null) {
  try {
    const { text, cut, time } = await fetchAnswer(path, limit, LISTING_TIMEOUT_MS, true);
    if (text === before) return { text, listing: null, cut, time };
    let whole = text;
    if (cut) {
      const end = text.lastIndexOf("},");
      whole = end < 0 ? "[]" : text.slice(0, end + 1) + "]";
    }
    const listing = JSON.parse(whole);
    if (!Array.isArray(listing)) throw new Error("the listing is not a list");
    return { text, listing, cut, time };
  } catch (error) {
    throw new Error(path + " could not be read (" + error.message + ")");
  }
}

// One log line: date, time, then key=value fields, a value in double quotes
// when it may hold spaces. outcome= is always last and takes the rest of the
// line, whatever it holds. Returns null for a line that is not one.
function parseLine(text) {
  const line = text.split(/\r?\n/, 1)[0];
  // A machine whose clock could not be read starts its line time=unknown.
  const head = /^(?:(\d{4}-\d{2}-\d{2}) (\d{2}:\d{2}:\d{2})|time=unknown) (.*)$/.exec(line);
  if (!head) return null;
  const fields = new Map([["start", head[1] === undefined ? "time unknown" : head[1] + " " + head[2]]]);
  let rest = head[3];
  while (rest.length > 0) {
    const key = /^ *([A-Za-z0-9_]+)=/.exec(rest);
    if (!key) return null;
    rest = rest.slice(key[0].length);
    let value;
    if (key[1] === "outcome") {
      value = rest.length >= 2 && rest.startsWith('"') && rest.endsWith('"') ? rest.slice(1, -1) : rest;
      rest = "";
    } else if (rest.startsWith('"')) {
      const end = rest.indexOf('"', 1);
      if (end < 0) return null;
      value = rest.slice(1, end);
      rest = rest.slice(end + 1);
    } else {
      const end = rest.search(/ |$/);
      value = rest.slice(0, end);
      rest = rest.slice(end);
    }
    if (!fields.has(key[1])) fields.set(key[1], value);
    rest = rest.replace(/^ +/, "");
  }
  const status = fields.get("status");
  if (status !== "running" && !/^0x[0-9A-Fa-f]{1,8}$/.test(status || "")) return null;
  return fields;
}

// What the run left the EC as, judged as the stick judges it: a failure
// counts as harmless only when the line says ec=unchanged.
function judge(fields) {
  const status = fields.get("status");
  if (status === "running") return "running";
  const ok = parseInt(status, 16) === 0;
  const ec = fields.get("ec");
  if (ec === "unchanged") return ok ? "uptodate" : "failed-unchanged";
  if (ec === "flashed" && ok) return "flashed";
  return "failed-incomplete";
}

// "No image for this machine" changed nothing: its line ends as an
// up-to-date or a harmless failed run's does, and its name says noimage,
// counted apart from failures.
function judgeNamed(fields, named) {
  const judged = judge(fields);
  return named === "noimage" && (judged === "uptodate" || judged === "failed-unchanged") ? "noimage" : judged;
}

function statusWords(status) {
  if (status === "running") return "running";
  const code = parseInt(status, 16);
  if (code === 0) return status + " succeeded";
  const meaning = STATUS_MEANINGS[code];
  return status + " failed" + (meaning ? ": " + meaning : "");
}

function number(text) {
  return /^\d{1,9}$/.test(text || "") ? text : "";
}

// A capsule's version and who signed it (version=, signer=); nothing for a
// raw image.
function versionWords(version, signer) {
  if (!/^0x[0-9A-Fa-f]{8}$/.test(version || "")) return "";
  if (signer === "unchecked") return version + ", signature not checked";
  return signer && signer !== "-" ? version + ", signed by " + signer : version;
}

function minutesAgo(mtime) {
  const then = Date.parse(mtime);
  if (!Number.isFinite(then)) return "";
  const minutes = Math.max(0, Math.floor((Date.now() - then) / 60000));
  return minutes < 1 ? "under a minute ago" : minutes + " min ago";
}

function dayWords(day) {
  return day === "nodate" ? "no date (clock unreadable)" : day.replace(/(\d{4})(\d{2})(\d{2})/, "$1-$2-$3");
}

function isFile(entry) {
  return entry !== null && typeof entry === "object" && entry.type === "file" &&
    typeof entry.name === "string" && typeof entry.size === "number";
}

// results/ holds day folders only. Plausible days (a date of the calendar
// no later than the depot's tomorrow) newest first, then nodate; the rest
// (a clock in another century, a stranger's folders) apart, with their
// folder times for knowing when a listing changed.
function readDays(listing, today) {
  const names = [];
  const apart = [];
  const stamps = new Map();
  let ignored = 0;
  const tomorrow = dayNumber(today) + 1;
  for (const entry of listing) {
    if (entry !== null && typeof entry === "object" && entry.type === "directory" &&
        typeof entry.name === "string" && DAY_NAME.test(entry.name)) {
      stamps.set(entry.name, String(entry.mtime));
      const number = dayNumber(entry.name);
      if (entry.name === "nodate" || number <= tomorrow) names.push(entry.name);
      else apart.push(entry.name);
    } else {
      ignored++;
    }
  }
  const order = (a, b) => (a === "nodate" ? 1 : b === "nodate" ? -1 : a < b ? 1 : a > b ? -1 : 0);
  names.sort(order);
  apart.sort(order);
  return { names, apart, stamps, ignored };
}

// A run's start as milliseconds, for ordering runs of every day together:
// a dated run's own name, a nodate run's first file on the depot's clock.
function startKey(run, first) {
  if (run.date === undefined) return Date.parse(first.mtime) || 0;
  const t = run.time;
  return Date.UTC(+run.date.slice(0, 4), +run.date.slice(4, 6) - 1, +run.date.slice(6, 8), +t.slice(0, 2),
                  +t.slice(2, 4), +t.slice(4, 6)) + run.suffix;
}

// One day's runs, from the names alone: a .run and no final log is still
// running (or lost power); a final log names its verdict. A base with more
// than one writer is conflicting: a machine moved off it (.conflict.log),
// two final logs, or a final log or save with no .run (Morvane writes its
// .run first, so someone else wrote them).
function readDay(day, listing) {
  const runs = new Map();
  let ignored = 0;
  for (const entry of listing) {
    const named = isFile(entry) ? parseName(entry.name) : null;
    // A run is filed under the day it started, and only there.
    if (named === null || (named.date === undefined ? day !== "nodate" : named.date !== day)) {
      ignored++;
      continue;
    }
    let run = runs.get(named.base);
    if (run === undefined) {
      run = { day: day, base: named.base, serial: named.serial, mac: named.mac, date: named.date, time: named.time,
              suffix: named.suffix, start: null, bin: null, finals: [], moved: null };
      runs.set(run.base, run);
    }
    const file = { name: entry.name, size: entry.size, mtime: String(entry.mtime) };
    if (named.kind === "run") run.start = file;
    else if (named.kind === "bin") run.bin = file;
    else if (named.kind === "conflict") run.moved = file;
    else run.finals.push({ verdict: named.kind, file: file });
  }
  const counts = {};
  for (const state of Object.keys(STATE_WORDS)) counts[state] = 0;
  const listed = [];
  for (const run of runs.values()) {
    if (run.finals.length > 1 || run.moved !== null || (run.start === null)) run.state = "conflicting";
    else if (run.finals.length === 1) run.state = VERDICT_STATES[run.finals[0].verdict];
    else run.state = "running";
    counts[run.state]++;
    run.key = startKey(run, run.start || run.bin || run.moved || run.finals[0].file);
    listed.push(run);
  }
  listed.sort(newestFirst);
  const attention = [];
  const rest = [];
  let older = 0;
  for (const run of listed) {
    if (attentionRank(run) >= 0) attention.push(run);
    else if (rest.length < MAX_ROWS) rest.push(run);
    else older++;
  }
  // A machine is its serial and MAC; its latest run of the day, for the
  // fleet view (listed is newest first).
  const machines = new Map();
  for (const run of listed) {
    if (!machines.has(run.serial + "/" + run.mac)) machines.set(run.serial + "/" + run.mac, run);
  }
  return { counts, total: listed.length, attention, rest, older, ignored, machines: Array.from(machines.values()) };
}

function newestFirst(a, b) {
  return b.key - a.key || (a.base < b.base ? -1 : a.base > b.base ? 1 : 0);
}

// The runs needing attention on every day looked through, most urgent
// first, then newest first; at most MAX_ATTENTION.
function mergeAttention(days) {
  const all = [];
  for (const day of days) all.push(...day.attention);
  all.sort((a, b) => attentionRank(a) - attentionRank(b) || newestFirst(a, b));
  return { shown: all.slice(0, MAX_ATTENTION), hidden: Math.max(0, all.length - MAX_ATTENTION), total: all.length };
}

// The one log a row needs: the first line while running, the final line
// once ended, and for conflicting final logs the first line, for its details.
function logOf(run) {
  if (run.state === "running") return run.start;
  if (run.state === "conflicting") return run.start || (run.finals.length > 0 ? run.finals[0].file : null);
  return run.finals[0].file;
}

// Logs are written once; a log is fetched again only when the listing
// shows it changed.
let known = new Map();

async function readLog(day, file) {
  const path = day + "/" + file.name;
  const key = file.mtime + "/" + file.size;
  const cached = known.get(path);
  if (cached && cached.key === key) return cached.read;
  let read;
  if (!(file.size <= MAX_LOG_BYTES)) {
    read = { text: null, note: "log of " + file.size + " bytes not read (over 4 KiB)" };
  } else {
    try {
      read = { text: await fetchBounded("results/" + day + "/" + encodeURIComponent(file.name), MAX_LOG_BYTES), note: "" };
    } catch (error) {
      // Not remembered: the next refresh tries again.
      return { text: null, note: "log could not be read (" + error.message + ")" };
    }
  }
  known.set(path, { key: key, read: read });
  return read;
}

// Stops early once stale() says the operator picked another day.
async function readLogs(runs, stale) {
  const reads = new Array(runs.length);
  const kept = new Map();
  let next = 0;
  async function worker() {
    while (next < runs.length && !stale()) {
      const at = next++;
      const file = logOf(runs[at]);
      const day = runs[at].day;
      reads[at] = file === null ? null : await readLog(day, file);
      const path = file === null ? "" : day + "/" + file.name;
      if (known.has(path)) kept.set(path, known.get(path));
    }
  }
  await Promise.all(Array.from({ length: PARALLEL_FETCHES }, worker));
  known = kept;
  return reads;
}

function rowFor(run, read) {
  const day = run.day;
  const row = {
    base: run.base,
    serial: run.serial,
    mac: run.mac,
    start: run.date === undefined ? "" : run.date.replace(/(\d{4})(\d{2})(\d{2})/, "$1-$2-$3") + " " +
      run.time.replace(/(\d{2})(\d{2})(\d{2})/, "$1:$2:$3"),
    product: "", image: "", crc: "", version: "", status: "", outcome: "", ec: "", changed: "", elapsed: "",
    state: run.state,
    mtime: run.start === null ? "" : run.start.mtime,
    bin: run.bin === null ? "" : "results/" + day + "/" + encodeURIComponent(run.bin.name),
    binSize: run.bin === null ? 0 : run.bin.size,
    binName: run.bin === null ? "" : run.bin.name,
  };
  const conflicting = run.state === "conflicting";
  if (conflicting) {
    if (run.finals.length > 1) {
      row.outcome = "final logs " + run.finals.map((final) => final.verdict).sort().join(" and ") +
        ": one was not written by this run";
    } else if (run.start === null) {
      row.outcome = (run.finals.length > 0 ? "a final log" : "a save") + " with no .run: not written by a machine's run";
    } else {
      row.outcome = "its machine found this name taken by another writer and moved to another";
    }
  }
  if (read === null) return row;
  const fields = read.text === null ? null : parseLine(read.text);
  if (fields === null) {
    if (!conflicting) {
      row.state = "unreadable";
      row.outcome = read.text === null ? read.note : "not a Morvane log line: " + shown(read.text, 120);
    }
    return row;
  }
  const get = (key) => fields.get(key) || "";
  const judged = judgeNamed(fields, run.state);
  if (!conflicting && judged !== run.state) {
    row.state = "unreadable";
    row.outcome = "its line says " + STATE_WORDS[judged] + ", its name says " + STATE_WORDS[run.state];
    return row;
  }
  row.start = get("start");
  if (get("serial") !== "" && get("serial") !== "-") row.serial = get("serial");
  row.product = get("product") === "-" ? "" : get("product");
  row.image = get("image");
  row.crc = /^[0-9A-Fa-f]{8}$/.test(get("crc32")) ? get("crc32").toUpperCase() : "";
  row.version = versionWords(get("version"), get("signer"));
  if (conflicting) return row;
  row.status = get("status");
  if (judged === "running") return row;
  row.ec = get("ec");
  row.changed = number(get("changed"));
  row.elapsed = number(get("elapsed"));
  row.outcome = get("outcome");
  return row;
}

function cell(tr, text, className) {
  const td = document.createElement("td");
  td.textContent = shown(text);
  if (className) td.className = className;
  tr.appendChild(td);
  return td;
}

function setCount(state, value) {
  document.getElementById("count-" + state).textContent = String(value);
}

// Drawn from the listing alone, before any log is read.
function drawCounts(day) {
  for (const state of Object.keys(day.counts)) {
    if (state !== "unreadable") setCount(state, day.counts[state]);
  }
  if (!document.body.hasAttribute("data-counts-ms")) {
    document.body.setAttribute("data-counts-ms", performance.now().toFixed(0));
  }
}

function renderRows(dayName, day, rows) {
  const body = document.createElement("tbody");
  body.setAttribute("data-day", dayName);
  let unreadable = 0;
  for (const row of rows) {
    if (row.state === "unreadable") unreadable++;
    const tr = document.createElement("tr");
    tr.setAttribute("data-state", row.state);
    cell(tr, row.start, "mono");
    cell(tr, row.serial, "text serial");
    cell(tr, row.mac, "mono");
    cell(tr, row.product, "text");
    cell(tr, row.image, "text");
    cell(tr, row.crc, "mono");
    cell(tr, row.version, "text");
    cell(tr, STATE_WORDS[row.state], "state");
    cell(tr, row.status === "" ? "" : statusWords(row.status), "status");
    cell(tr, row.state === "running" ? "log written " + minutesAgo(row.mtime) : row.outcome, "text outcome");
    cell(tr, row.ec, "ec");
    cell(tr, row.changed, "num");
    cell(tr, row.elapsed, "num");
    const saved = cell(tr, "", "saved");
    if (row.bin !== "") {
      const link = document.createElement("a");
      link.setAttribute("href", row.bin);
      link.setAttribute("download", row.binName);
      link.textContent = "saved (" + Math.ceil(row.binSize / 1024) + " KiB)";
      saved.appendChild(link);
    }
    body.appendChild(tr);
  }
  setCount("unreadable", unreadable);
  let status = day.total + (day.total === 1 ? " run" : " runs") + " on " + dayWords(dayName);
  if (day.attention > 0) status += "; " + day.attention + " needing attention (of " + day.scanned + ") listed first";
  if (day.hiddenAttention > 0) status += "; " + day.hiddenAttention + " more needing attention not shown";
  if (day.older > 0) status += "; " + day.older + " older runs not shown";
  if (day.ignored > 0) status += "; " + day.ignored + " files with other names ignored";
  if (day.unscanned > 0) status += "; " + day.unscanned + " older days not looked through for attention";
  if (day.cut) status += "; the list of days is over 1 MiB: only its first part was read, other days may be missing";
  if (day.apart > 0) status += "; " + day.apart + " folders that are no plausible day listed apart";
  setStatus(status + "; updated " + new Date().toLocaleTimeString(), false);
  // Replaced only when something changed, in one step, so the table never
  // blinks empty between refreshes.
  const old = document.querySelector("#runs tbody");
  if (!old.isEqualNode(body)) old.replaceWith(body);
}

function setStatus(text, trouble) {
  const status = document.getElementById("status");
  status.textContent = shown(text, 400);
  status.className = trouble ? "trouble" : "";
}

function option(name) {
  const choice = document.createElement("option");
  choice.value = name;
  choice.textContent = dayWords(name);
  return choice;
}

// Plausible days, then (apart) folders dated in the future or no date of
// the calendar, a bounded few.
function showDays(names, apart, day) {
  const select = document.getElementById("day");
  const listed = names.concat(apart.slice(0, MAX_APART));
  if (select.getAttribute("data-listed") !== listed.join("/")) {
    const choices = names.map(option);
    if (apart.length > 0) {
      const group = document.createElement("optgroup");
      group.label = "not a plausible day" + (apart.length > MAX_APART ? " (" + MAX_APART + " of " + apart.length + ")" : "");
      group.replaceChildren(...apart.slice(0, MAX_APART).map(option));
      choices.push(group);
    }
    select.replaceChildren(...choices);
    select.setAttribute("data-listed", listed.join("/"));
  }
  select.value = day;
  select.disabled = listed.length === 0;
}

function clearDay(dayName) {
  for (const state of Object.keys(STATE_WORDS)) setCount(state, 0);
  const body = document.createElement("tbody");
  if (dayName) body.setAttribute("data-day", dayName);
  document.querySelector("#runs tbody").replaceWith(body);
}

// The day the operator picked (kept in the address, so a reload keeps it),
// or null for the depot's today (or its newest day before).
let picked = DAY_NAME.test(location.hash.slice(1)) ? location.hash.slice(1) : null;
let picks = 0;
// Each day's listing and what was made of it, with its folder's time then:
// another day's listing is read again only when its folder changed.
let dayCache = new Map();

// A day's runs, from the cache while its folder has not changed since a
// listing read well after that change; null when the folder is not there.
async function readDayCached(name, stamp, always) {
  const cached = dayCache.get(name);
  if (!always && cached && cached.stamp === stamp && cached.settled) return cached.day;
  let read;
  try {
    read = await listingOf("results/" + name + "/", MAX_DAY_BYTES, cached ? cached.text : null);
  } catch (error) {
    if (/HTTP 404/.test(error.message)) return null;
    throw error;
  }
  const day = read.listing === null ? cached.day : readDay(name, read.listing);
  if (read.cut) day.cut = true;
  const changed = Date.parse(stamp || "");
  dayCache.set(name, { stamp: stamp, text: read.text, day: day,
                       settled: Number.isFinite(changed) && read.time.sent - changed >= 2000 });
  return day;
}

async function refresh() {
  const pick = picks;
  const top = await listingOf("results/", MAX_DAYS_BYTES);
  if (pick !== picks) return;
  const today = top.time.day;
  const days = readDays(top.listing, today);
  // A list of days cut short may have left out today, nodate and the day
  // picked: they are asked for by name.
  if (top.cut) {
    for (const name of [picked, today, "nodate"]) {
      if (name !== null && !days.names.includes(name) && !days.apart.includes(name)) days.names.push(name);
    }
    days.names.sort((a, b) => (a === "nodate" ? 1 : b === "nodate" ? -1 : a < b ? 1 : a > b ? -1 : 0));
  }
  const before = days.names.filter((name) => name !== "nodate" && dayNumber(name) <= dayNumber(today));
  const dayName = days.names.includes(picked) || days.apart.includes(picked) ? picked
    : days.names.includes(today) ? today : before.length > 0 ? before[0] : days.names[0];
  showDays(days.names, days.apart, dayName);
  if (dayName === undefined) {
    clearDay();
    setStatus("No runs in results/ yet" + (days.ignored > 0 ? "; " + days.ignored + " files with other names ignored" : ""), false);
    return;
  }
  // Another day's counts and rows never stand under this day's name.
  if (document.querySelector("#runs tbody").getAttribute("data-day") !== dayName) {
    clearDay(dayName);
    setStatus("Reading " + dayWords(dayName) + "\u2026", false);
  }
  const shown = (await readDayCached(dayName, days.stamps.get(dayName), true)) ||
    { counts: Object.fromEntries(Object.keys(STATE_WORDS).map((state) => [state, 0])), total: 0, attention: [],
      rest: [], older: 0, ignored: 0 };
  if (pick !== picks) return;
  drawCounts(shown);
  // Runs needing attention, on the newest days (and nodate) as well.
  const dated = days.names.filter((name) => name !== "nodate");
  const scanned = dated.slice(0, MAX_SCANNED_DAYS).concat(days.names.includes("nodate") ? ["nodate"] : []);
  const looked = [shown];
  for (const name of scanned) {
    if (name === dayName) continue;
    const other = await readDayCached(name, days.stamps.get(name), false);
    if (pick !== picks) return;
    if (other !== null) looked.push(other);
  }
  dayCache = new Map(Array.from(dayCache).filter(([name]) => name === dayName || scanned.includes(name)));
  const attention = mergeAttention(looked);
  const runs = attention.shown.concat(shown.rest);
  const view = { total: shown.total, attention: attention.shown.length, hiddenAttention: attention.hidden,
                 older: shown.older, ignored: shown.ignored + days.ignored, cut: top.cut || shown.cut === true,
                 scanned: scanned.includes(dayName) ? scanned.length : scanned.length + 1,
                 unscanned: Math.max(0, dated.length - MAX_SCANNED_DAYS), apart: days.apart.length };
  view.scanned = view.scanned === 1 ? "this day" : "the " + view.scanned + " newest days";
  const reads = await readLogs(runs, () => pick !== picks);
  if (pick !== picks) return;
  renderRows(dayName, view, runs.map((run, at) => rowFor(run, reads[at])));
  if (typeof drawFleet === "function") {
    await drawFleet(dayName, latestOfEachMachine(looked), view.scanned, () => pick !== picks);
  }
}

// Each machine (serial and MAC) once, by its newest run on any day looked
// through: where it stands now, whichever day is shown.
function latestOfEachMachine(days) {
  const latest = new Map();
  for (const day of days) {
    for (const run of day.machines || []) {
      const machine = run.serial + "/" + run.mac;
      const known = latest.get(machine);
      if (known === undefined || newestFirst(run, known) < 0) latest.set(machine, run);
    }
  }
  return Array.from(latest.values());
}

// What the depot offers the machines, from its own MORVANE.CFG.
async function showServing() {
  const serving = document.getElementById("serving");
  try {
    const config = new Map();
    for (const line of (await fetchBounded("MORVANE.CFG", 4096)).split(/\r?\n/)) {
      const pair = /^([a-z0-9]+)=(.*)$/.exec(line);
      if (pair) config.set(pair[1], pair[2]);
    }
    let text = "Serving " + (config.get("image") || "?") + ", CRC-32 " + (config.get("crc32") || "?");
    text += config.has("model") ? ", for " + config.get("model") + " only" : ", for any model";
    if (config.has("catalog")) text = "Serving the catalogue " + config.get("catalog") + ": each machine takes its own capsule";
    serving.textContent = shown(text, 400);
  } catch (error) {
    serving.textContent = shown("MORVANE.CFG could not be read (" + error.message + ")", 400);
  }
}

// The next refresh is planned only once this one is over, so a slow depot
// never has requests piling up; a day picked meanwhile is read right after.
let busy = false;
let timer = 0;

async function loop() {
  busy = true;
  const pick = picks;
  try {
    await refresh();
  } catch (error) {
    setStatus(error.message + "; trying again", true);
  }
  busy = false;
  timer = setTimeout(loop, pick !== picks ? 0 : REFRESH_MS);
}

document.getElementById("day").addEventListener("change", (event) => {
  const day = event.target.value;
  if (!DAY_NAME.test(day)) return;
  picked = day;
  picks++;
  history.replaceState(null, "", "#" + day);
  if (!busy) {
    clearTimeout(timer);
    loop();
  }
});

showServing();
loop();
