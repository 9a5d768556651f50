// The fleet view of a depot that serves a catalogue (MORVANE.CFG has
// catalog=): for each model (hardware ID) and version, how many machines
// ran last on it, how their latest run ended, and which need someone.
//
// A machine counts once, by its latest run on any day the page looks
// through (the day shown, the newest days and nodate). A run's model and
// version are in its log line only (image=, version=), so the view reads
// that run's log, after the day's counts and rows are drawn, at most
// MAX_FLEET_READS new logs per refresh, each once (logs are written
// once): a fleet of 20,000 machines fills in over a few refreshes and
// never holds up the counts.
// The image's name gives the model through CATALOG.TXT, read as the page
// reads anything: bounded, checked, shown as text.
"use strict";

const MAX_FLEET_READS = 1000;
const MAX_INDEX_BYTES = 65536;
const MAX_ATTENTION_NAMED = 10;
const FLEET_STATES = ["flashed", "uptodate", "noimage", "failed-unchanged", "failed-incomplete", "running"];
// Incomplete first: that EC is half-written.
const FLEET_ATTENTION = ["failed-incomplete", "running", "conflicting", "failed-unchanged", "unreadable"];
const INDEX_LINE = /^([A-Za-z0-9_][A-Za-z0-9._-]{0,63}) ([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}) (0x[0-9A-F]{8}) 0x[0-9A-F]{8} \d{1,8} [0-9A-F]{8} \d{1,3}$/;

let fleetIndex = null;       // capsule name -> hardware ID, or null: no catalogue
let fleetIndexRead = false;
let fleetLogs = new Map();   // day/name -> fields (null: not a log line)

// CATALOG.TXT's names and hardware IDs; a malformed line is skipped, not
// trusted (the machines refuse such an index whole; the page only labels).
async function readFleetIndex() {
  if (fleetIndexRead) return fleetIndex;
  const config = await fetchBounded("MORVANE.CFG", 4096);
  const named = /^catalog=([A-Za-z0-9_][A-Za-z0-9._-]{0,63})\r?$/m.exec(config);
  fleetIndex = null;
  if (named) {
    fleetIndex = new Map();
    for (const line of (await fetchBounded(encodeURIComponent(named[1]), MAX_INDEX_BYTES)).split(/\r?\n/)) {
      const entry = INDEX_LINE.exec(line);
      if (entry) fleetIndex.set(entry[1], entry[2]);
    }
  }
  fleetIndexRead = true;
  return fleetIndex;
}

function fleetKey(run) {
  const file = logOf(run);
  return file === null ? "" : run.day + "/" + file.name;
}

async function readFleetLogs(runs, stale) {
  const wanted = [];
  for (const run of runs) {
    const key = fleetKey(run);
    if (key !== "" && !fleetLogs.has(key) && wanted.length < MAX_FLEET_READS) wanted.push(run);
  }
  let next = 0;
  async function worker() {
    while (next < wanted.length && !stale()) {
      const run = wanted[next++];
      const file = logOf(run);
      let fields = null;
      try {
        if (file.size <= MAX_LOG_BYTES) {
          fields = parseLine(await fetchBounded("results/" + run.day + "/" + encodeURIComponent(file.name), MAX_LOG_BYTES));
        }
      } catch (error) {
        continue; // tried again at the next refresh
      }
      fleetLogs.set(fleetKey(run), fields);
    }
  }
  await Promise.all(Array.from({ length: PARALLEL_FETCHES }, worker));
  // Only the machines' latest runs are kept: a page left open for days
  // (and every run a stranger adds) would otherwise hold every log it read.
  const latest = new Set(runs.map(fleetKey));
  for (const key of fleetLogs.keys()) {
    if (!latest.has(key)) fleetLogs.delete(key);
  }
}

// The model and version a machine's latest run was on, and its state.
function fleetPlace(run, index) {
  const key = fleetKey(run);
  // A save with no log was not written by the machine named: no model.
  if (key === "") return { hwid: "not in the index", version: "-", product: "", state: run.state };
  if (!fleetLogs.has(key)) return null;
  const fields = fleetLogs.get(key);
  let state = run.state;
  if (fields === null) state = "unreadable";
  else if (state !== "conflicting" && judgeNamed(fields, state) !== state) state = "unreadable";
  const image = fields === null ? "" : fields.get("image") || "";
  const version = fields === null ? "" : fields.get("version") || "";
  return {
    hwid: index.get(image) || (state === "noimage" ? "none offered" : "not in the index"),
    version: /^0x[0-9A-Fa-f]{8}$/.test(version) ? version.toUpperCase().replace("0X", "0x") : "-",
    product: fields === null ? "" : (fields.get("product") || "").replace(/^-$/, ""),
    state: state,
  };
}

function fleetGroups(runs, index) {
  const groups = new Map();
  let unread = 0;
  for (const run of runs) {
    const place = fleetPlace(run, index);
    if (place === null) { unread++; continue; }
    const key = place.hwid + " " + place.version;
    if (!groups.has(key)) {
      groups.set(key, { hwid: place.hwid, version: place.version, products: new Set(), machines: 0,
                        counts: Object.fromEntries(FLEET_STATES.map((state) => [state, 0])), attention: [] });
    }
    const group = groups.get(key);
    group.machines++;
    if (place.product !== "") group.products.add(place.product);
    if (place.state in group.counts) group.counts[place.state]++;
    if (FLEET_ATTENTION.includes(place.state)) group.attention.push({ run: run, state: place.state });
  }
  const sorted = Array.from(groups.values()).sort((a, b) =>
    a.hwid < b.hwid ? -1 : a.hwid > b.hwid ? 1 : a.version < b.version ? 1 : a.version > b.version ? -1 : 0);
  return { sorted, unread };
}

function fleetRow(group) {
  const tr = document.createElement("tr");
  if (group.attention.length > 0) tr.setAttribute("data-attention", String(group.attention.length));
  const cellOf = (text, className) => {
    const td = document.createElement("td");
    td.textContent = shown(text);
    if (className) td.className = className;
    tr.appendChild(td);
  };
  cellOf(group.hwid, "mono");
  cellOf(Array.from(group.products).sort().join(", "), "text");
  cellOf(group.version, "mono");
  cellOf(String(group.machines), "num");
  for (const state of FLEET_STATES) cellOf(String(group.counts[state]), "num");
  group.attention.sort((a, b) => FLEET_ATTENTION.indexOf(a.state) - FLEET_ATTENTION.indexOf(b.state));
  const named = group.attention.slice(0, MAX_ATTENTION_NAMED).map((one) =>
    one.run.serial + " " + one.run.mac + " (" + STATE_WORDS[one.state] + ")");
  if (group.attention.length > MAX_ATTENTION_NAMED) named.push((group.attention.length - MAX_ATTENTION_NAMED) + " more");
  cellOf(named.join("; "), "text");
  return tr;
}

// Called by page.js once a day's counts and rows are drawn, with each
// machine's latest run over the days it looked through (their words).
async function drawFleet(dayName, runs, looked, stale) {
  const section = document.getElementById("fleet");
  let index;
  try {
    index = await readFleetIndex();
  } catch (error) {
    fleetIndexRead = false;
    return;
  }
  section.hidden = index === null;
  if (index === null) return;
  await readFleetLogs(runs, stale);
  if (stale()) return;
  const { sorted, unread } = fleetGroups(runs, index);
  const body = document.createElement("tbody");
  body.setAttribute("data-day", dayName);
  for (const group of sorted) body.appendChild(fleetRow(group));
  const old = document.querySelector("#fleet-table tbody");
  if (!old.isEqualNode(body)) old.replaceWith(body);
  let status = runs.length + (runs.length === 1 ? " machine" : " machines") + " seen on " + looked + ", each by its latest run";
  if (unread > 0) status += "; " + unread + " of their logs not read yet (" + MAX_FLEET_READS + " more each refresh)";
  document.getElementById("fleet-status").textContent = shown(status, 400);
}
