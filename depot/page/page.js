// The depot's page: one row per machine and run, read from what the machines
// PUT into results/DAY/. Every byte of a log, a file name or a listing comes
// from a machine on the network and may be garbage or hostile: it is
// bounded, checked, and only ever put into the page as text.
//
// A fleet leaves tens of thousands of runs a day, so the page never lists
// all of results/: it lists the day folders, then one day, counts that day
// from the file names alone (the verdict is in the name) and reads only the
// logs of the rows it shows.
"use strict";

const REFRESH_MS = 5000;
const FETCH_TIMEOUT_MS = 4000;
// A day of 20,000 runs lists in about 8 MiB; a slow link needs longer for
// that than for a log.
const LISTING_TIMEOUT_MS = 30000;
const MAX_DAYS_BYTES = 1024 * 1024;
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
  "(?:(\\d{8})-(\\d{6})|nodate-[0-9A-Fa-f]{8})(?:-([2-9]))?)" +
  "\\.(?:(run|bin)|(flashed|uptodate|noimage|unchanged|incomplete)\\.log)$");

const VERDICT_STATES = {
  flashed: "flashed",
  uptodate: "uptodate",
  noimage: "noimage",
  unchanged: "failed-unchanged",
  incomplete: "failed-incomplete",
};
const ATTENTION = new Set(["conflicting", "failed-incomplete", "running"]);

const STATE_WORDS = {
  flashed: "flashed",
  uptodate: "up to date",
  noimage: "no image for this machine",
  "failed-unchanged": "failed, EC unchanged",
  "failed-incomplete": "failed, EC incomplete",
  running: "running",
  conflicting: "conflicting final logs",
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

async function fetchBounded(url, limit, timeout = FETCH_TIMEOUT_MS) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), timeout);
  try {
    const response = await fetch(url, { cache: "no-store", signal: abort.signal, redirect: "error" });
    if (!response.ok) throw new Error("HTTP " + response.status);
    const reader = response.body.getReader();
    const chunks = [];
    let total = 0;
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      total += value.length;
      if (total > limit) {
        reader.cancel();
        throw new Error("over " + limit + " bytes");
      }
      chunks.push(value);
    }
    const bytes = new Uint8Array(total);
    let at = 0;
    for (const chunk of chunks) { bytes.set(chunk, at); at += chunk.length; }
    // Logs are ASCII; a byte-for-byte decoding lets shown() mark the rest.
    return new TextDecoder("latin1").decode(bytes);
  } finally {
    clearTimeout(timer);
  }
}

// nginx's JSON listing of a folder, with its text; null for the listing
// when the text is the same as before, which then need not be read again.
async function listingOf(path, limit, before = null) {
  try {
    const text = await fetchBounded(path, limit, LISTING_TIMEOUT_MS);
    if (text === before) return { text, listing: null };
    const listing = JSON.parse(text);
    if (!Array.isArray(listing)) throw new Error("the listing is not a list");
    return { text, listing };
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

// A catalogue that offers a machine nothing changes nothing: its line
// says ec=unchanged, and its name says noimage, counted apart from failures.
function judgeNamed(fields, named) {
  return named === "noimage" && fields.get("ec") === "unchanged" && fields.get("status") !== "running" ? "noimage" : judge(fields);
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

// results/ holds day folders only; newest first, nodate last.
function readDays(listing) {
  const names = [];
  let ignored = 0;
  for (const entry of listing) {
    if (entry !== null && typeof entry === "object" && entry.type === "directory" &&
        typeof entry.name === "string" && DAY_NAME.test(entry.name)) {
      names.push(entry.name);
    } else {
      ignored++;
    }
  }
  names.sort((a, b) => (a === "nodate" ? 1 : b === "nodate" ? -1 : a < b ? 1 : a > b ? -1 : 0));
  return { names, ignored };
}

// One day's runs, from the names alone: a .run and no final log is still
// running (or lost power); a final log names its verdict; two different
// final logs for one run mean one of them is a stranger's.
function readDay(day, listing) {
  const runs = new Map();
  let ignored = 0;
  for (const entry of listing) {
    const named = isFile(entry) && entry.name.length <= MAX_NAME ? RUN_FILE.exec(entry.name) : null;
    // A run is filed under the day it started, and only there.
    if (named === null || (named[4] === undefined ? day !== "nodate" : named[4] !== day)) {
      ignored++;
      continue;
    }
    let run = runs.get(named[1]);
    if (run === undefined) {
      run = { base: named[1], serial: named[2], mac: named[3], date: named[4], time: named[5],
              suffix: Number(named[6] || 0), start: null, bin: null, finals: [] };
      runs.set(run.base, run);
    }
    const file = { name: entry.name, size: entry.size, mtime: String(entry.mtime) };
    if (named[7] === "run") run.start = file;
    else if (named[7] === "bin") run.bin = file;
    else run.finals.push({ verdict: named[8], file: file });
  }
  const counts = {};
  for (const state of Object.keys(STATE_WORDS)) counts[state] = 0;
  const listed = [];
  for (const run of runs.values()) {
    if (run.finals.length > 1) run.state = "conflicting";
    else if (run.finals.length === 1) run.state = VERDICT_STATES[run.finals[0].verdict];
    else if (run.start !== null) run.state = "running";
    else { ignored++; continue; } // a save with no log of its run
    counts[run.state]++;
    // The name's own time orders a dated day; a nodate run has only the
    // depot's clock, from when its first file arrived.
    const first = run.start || run.finals[0].file;
    run.key = run.date !== undefined ? Number(run.date + run.time) * 10 + run.suffix : Date.parse(first.mtime) || 0;
    listed.push(run);
  }
  listed.sort((a, b) => b.key - a.key || (a.base < b.base ? -1 : a.base > b.base ? 1 : 0));
  const attention = [];
  const rest = [];
  let hiddenAttention = 0;
  let older = 0;
  for (const run of listed) {
    if (ATTENTION.has(run.state)) {
      if (attention.length < MAX_ATTENTION) attention.push(run); else hiddenAttention++;
    } else if (rest.length < MAX_ROWS) {
      rest.push(run);
    } else {
      older++;
    }
  }
  // A machine is its serial and MAC; its latest run on the day counts for
  // the fleet view (listed is newest first).
  const machines = new Map();
  for (const run of listed) {
    if (!machines.has(run.serial + "/" + run.mac)) machines.set(run.serial + "/" + run.mac, run);
  }
  return { counts, total: listed.length, shownRuns: attention.concat(rest), attention: attention.length,
           hiddenAttention, older, ignored, machines: Array.from(machines.values()) };
}

// The one log a row needs: the first line while running, the final line
// once ended, and for conflicting final logs the first line, for its details.
function logOf(run) {
  if (run.state === "running" || run.state === "conflicting") return run.start;
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
async function readLogs(day, runs, stale) {
  const reads = new Array(runs.length);
  const kept = new Map();
  let next = 0;
  async function worker() {
    while (next < runs.length && !stale()) {
      const at = next++;
      const file = logOf(runs[at]);
      reads[at] = file === null ? null : await readLog(day, file);
      const path = file === null ? "" : day + "/" + file.name;
      if (known.has(path)) kept.set(path, known.get(path));
    }
  }
  await Promise.all(Array.from({ length: PARALLEL_FETCHES }, worker));
  known = kept;
  return reads;
}

function rowFor(day, run, read) {
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
    row.outcome = "final logs " + run.finals.map((final) => final.verdict).sort().join(" and ") +
      ": one was not written by this run";
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
  if (day.attention > 0) status += "; " + day.attention + " needing attention listed first";
  if (day.hiddenAttention > 0) status += "; " + day.hiddenAttention + " more needing attention not shown";
  if (day.older > 0) status += "; " + day.older + " older runs not shown";
  if (day.ignored > 0) status += "; " + day.ignored + " files with other names ignored";
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

function showDays(names, day) {
  const select = document.getElementById("day");
  const have = Array.from(select.options, (option) => option.value);
  if (have.join("/") !== names.join("/")) {
    select.replaceChildren(...names.map((name) => {
      const option = document.createElement("option");
      option.value = name;
      option.textContent = dayWords(name);
      return option;
    }));
  }
  select.value = day;
  select.disabled = names.length === 0;
}

function clearDay(dayName) {
  for (const state of Object.keys(STATE_WORDS)) setCount(state, 0);
  const body = document.createElement("tbody");
  if (dayName) body.setAttribute("data-day", dayName);
  document.querySelector("#runs tbody").replaceWith(body);
}

// The day the operator picked (kept in the address, so a reload keeps it),
// or null for the newest day.
let picked = DAY_NAME.test(location.hash.slice(1)) ? location.hash.slice(1) : null;
let picks = 0;
// The last listing of a day and what was made of it: a listing that did not
// change is not read again.
let lastDay = { name: "", text: "", day: null };

async function refresh() {
  const pick = picks;
  const top = readDays((await listingOf("results/", MAX_DAYS_BYTES)).listing);
  if (pick !== picks) return;
  // The newest dated day, unless the operator picked another.
  const dayName = top.names.includes(picked) ? picked : top.names[0];
  showDays(top.names, dayName);
  if (dayName === undefined) {
    clearDay();
    setStatus("No runs in results/ yet" + (top.ignored > 0 ? "; " + top.ignored + " files with other names ignored" : ""), false);
    return;
  }
  // Another day's counts and rows never stand under this day's name.
  if (document.querySelector("#runs tbody").getAttribute("data-day") !== dayName) {
    clearDay(dayName);
    setStatus("Reading " + dayWords(dayName) + "\u2026", false);
  }
  const { text, listing } = await listingOf("results/" + dayName + "/", MAX_DAY_BYTES,
                                            lastDay.name === dayName ? lastDay.text : null);
  if (pick !== picks) return;
  if (listing !== null) {
    lastDay = { name: dayName, text: text, day: readDay(dayName, listing) };
  }
  const day = Object.assign({}, lastDay.day, { ignored: lastDay.day.ignored + top.ignored });
  drawCounts(day);
  const reads = await readLogs(dayName, day.shownRuns, () => pick !== picks);
  if (pick !== picks) return;
  renderRows(dayName, day, day.shownRuns.map((run, at) => rowFor(dayName, run, reads[at])));
  if (typeof drawFleet === "function") await drawFleet(dayName, day.machines, () => pick !== picks);
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
