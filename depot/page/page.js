// The depot's page: one row per machine and run, read from the logs the
// machines PUT into results/. Every byte of a log, a file name or a listing
// comes from a machine on the network and may be garbage or hostile: it is
// bounded, checked, and only ever put into the page as text.
"use strict";

const REFRESH_MS = 5000;
const FETCH_TIMEOUT_MS = 4000;
const MAX_LISTING_BYTES = 2 * 1024 * 1024;
const MAX_LOG_BYTES = 4096;
const MAX_LOGS = 300;
const PARALLEL_FETCHES = 4;
const MAX_FIELD = 200;

// The only names the page reads or links to; anything else in results/ was
// not written by Morvane and is counted, not shown.
const SAFE_NAME = /^[A-Za-z0-9._-]+$/;
const LOG_NAME = /^(.+)-([0-9A-Fa-f]{12}|(?:[0-9A-Fa-f]{2}-){5}[0-9A-Fa-f]{2})-(\d{8})-(\d{6})\.log$/;

const STATE_WORDS = {
  flashed: "flashed",
  uptodate: "up to date",
  "failed-unchanged": "failed, EC unchanged",
  "failed-incomplete": "failed, EC incomplete",
  running: "running",
  unreadable: "unreadable log",
};

const STATUS_MEANINGS = {
  0x2: "command line refused",
  0x3: "wrong model",
  0x4: "image over 16 MiB",
  0x7: "a block never verified",
  0x9: "out of memory",
  0xe: "image not found",
  0xf: "save file exists",
  0x10: "depot unreachable",
  0x12: "EC not answering",
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

async function fetchBounded(url, limit) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), FETCH_TIMEOUT_MS);
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

// One log line: date, time, then key=value fields, a value in double quotes
// when it may hold spaces. outcome= is always last and takes the rest of the
// line, whatever it holds. Returns null for a line that is not one.
function parseLine(text) {
  const line = text.split(/\r?\n/, 1)[0];
  const head = /^(\d{4}-\d{2}-\d{2}) (\d{2}:\d{2}:\d{2}) (.*)$/.exec(line);
  if (!head) return null;
  const fields = new Map([["start", head[1] + " " + head[2]]]);
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

function minutesAgo(mtime) {
  const then = Date.parse(mtime);
  if (!Number.isFinite(then)) return "";
  const minutes = Math.max(0, Math.floor((Date.now() - then) / 60000));
  return minutes < 1 ? "under a minute ago" : minutes + " min ago";
}

function rowFor(entry, text, note) {
  const named = LOG_NAME.exec(entry.name);
  const base = entry.name.slice(0, -".log".length);
  const row = {
    name: entry.name,
    base: base,
    serial: named ? named[1] : base,
    mac: named ? named[2] : "",
    start: named ? named[3].replace(/(\d{4})(\d{2})(\d{2})/, "$1-$2-$3") + " " +
      named[4].replace(/(\d{2})(\d{2})(\d{2})/, "$1:$2:$3") : "",
    product: "", image: "", crc: "", status: "", outcome: note || "", ec: "", changed: "", elapsed: "",
    state: "unreadable",
    mtime: entry.mtime,
  };
  const fields = text === null ? null : parseLine(text);
  if (fields === null) {
    if (text !== null) row.outcome = "not a Morvane log line: " + shown(text, 120);
    return row;
  }
  const get = (key) => fields.get(key) || "";
  row.start = get("start");
  if (get("serial") !== "" && get("serial") !== "-") row.serial = get("serial");
  row.product = get("product") === "-" ? "" : get("product");
  row.image = get("image");
  row.crc = /^[0-9A-Fa-f]{8}$/.test(get("crc32")) ? get("crc32").toUpperCase() : "";
  row.status = get("status");
  row.state = judge(fields);
  row.ec = row.state === "running" ? "" : get("ec");
  row.changed = number(get("changed"));
  row.elapsed = number(get("elapsed"));
  row.outcome = row.state === "running" ? "" : get("outcome");
  return row;
}

// Logs are fetched again only when the listing shows them changed.
const known = new Map();

async function readLog(entry) {
  const key = entry.mtime + "/" + entry.size;
  const cached = known.get(entry.name);
  if (cached && cached.key === key) return cached.row;
  let row;
  if (!(entry.size <= MAX_LOG_BYTES)) {
    row = rowFor(entry, null, "log of " + entry.size + " bytes not read (over 4 KiB)");
  } else {
    try {
      row = rowFor(entry, await fetchBounded("results/" + encodeURIComponent(entry.name), MAX_LOG_BYTES), "");
    } catch (error) {
      // Not remembered: the next refresh tries again.
      return rowFor(entry, null, "log could not be read (" + error.message + ")");
    }
  }
  known.set(entry.name, { key: key, row: row });
  return row;
}

async function readAll(entries) {
  const rows = new Array(entries.length);
  let next = 0;
  async function worker() {
    while (next < entries.length) {
      const at = next++;
      rows[at] = await readLog(entries[at]);
    }
  }
  await Promise.all(Array.from({ length: PARALLEL_FETCHES }, worker));
  return rows;
}

async function refresh() {
  const text = await fetchBounded("results/", MAX_LISTING_BYTES);
  const listing = JSON.parse(text);
  if (!Array.isArray(listing)) throw new Error("the listing is not a list");
  const logs = [];
  const bins = new Map();
  let skipped = 0;
  for (const entry of listing) {
    if (entry === null || typeof entry !== "object" || entry.type !== "file" ||
        typeof entry.name !== "string" || typeof entry.size !== "number") continue;
    if (!SAFE_NAME.test(entry.name)) {
      skipped++;
    } else if (entry.name.endsWith(".log") && entry.name.length > 4) {
      logs.push({ name: entry.name, size: entry.size, mtime: String(entry.mtime) });
    } else if (entry.name.endsWith(".bin")) {
      bins.set(entry.name, entry.size);
    }
  }
  logs.sort((a, b) => (Date.parse(b.mtime) || 0) - (Date.parse(a.mtime) || 0));
  const older = Math.max(0, logs.length - MAX_LOGS);
  logs.length = Math.min(logs.length, MAX_LOGS);
  for (const name of known.keys()) {
    if (!logs.some((entry) => entry.name === name)) known.delete(name);
  }
  const rows = await readAll(logs);
  rows.sort((a, b) => (a.start < b.start ? 1 : a.start > b.start ? -1 : a.name < b.name ? -1 : a.name > b.name ? 1 : 0));
  return { rows, bins, skipped, older };
}

function cell(tr, text, className) {
  const td = document.createElement("td");
  td.textContent = shown(text);
  if (className) td.className = className;
  tr.appendChild(td);
  return td;
}

function render(result) {
  const counts = {};
  for (const state of Object.keys(STATE_WORDS)) counts[state] = 0;
  const body = document.createElement("tbody");
  for (const row of result.rows) {
    counts[row.state]++;
    const tr = document.createElement("tr");
    tr.setAttribute("data-state", row.state);
    cell(tr, row.start, "mono");
    cell(tr, row.serial, "text serial");
    cell(tr, row.mac, "mono");
    cell(tr, row.product, "text");
    cell(tr, row.image, "text");
    cell(tr, row.crc, "mono");
    cell(tr, STATE_WORDS[row.state], "state");
    cell(tr, row.status === "" ? "" : statusWords(row.status), "status");
    cell(tr, row.state === "running" ? "log written " + minutesAgo(row.mtime) : row.outcome, "text outcome");
    cell(tr, row.ec, "ec");
    cell(tr, row.changed, "num");
    cell(tr, row.elapsed, "num");
    const saved = cell(tr, "", "saved");
    const bin = row.base + ".bin";
    if (SAFE_NAME.test(bin) && result.bins.has(bin)) {
      const link = document.createElement("a");
      link.setAttribute("href", "results/" + encodeURIComponent(bin));
      link.setAttribute("download", bin);
      link.textContent = "saved (" + Math.ceil(result.bins.get(bin) / 1024) + " KiB)";
      saved.appendChild(link);
    }
    body.appendChild(tr);
  }
  for (const state of Object.keys(counts)) {
    document.getElementById("count-" + state).textContent = String(counts[state]);
  }
  let status = result.rows.length + (result.rows.length === 1 ? " run" : " runs") + "; updated " + new Date().toLocaleTimeString();
  if (result.older > 0) status += "; " + result.older + " older logs not shown";
  if (result.skipped > 0) status += "; " + result.skipped + " files with other names ignored";
  setStatus(status, false);
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
    serving.textContent = shown(text, 400);
  } catch (error) {
    serving.textContent = shown("MORVANE.CFG could not be read (" + error.message + ")", 400);
  }
}

// The next refresh is planned only once this one is over, so a slow depot
// never has requests piling up.
async function loop() {
  try {
    render(await refresh());
  } catch (error) {
    setStatus("results/ could not be read (" + error.message + "); trying again", true);
  }
  setTimeout(loop, REFRESH_MS);
}

showServing();
loop();
