// The depot's page, the OS route: the updates fwupd reported from the
// machines' Linux (results/os/, written once each by the depot's nginx),
// beside the runs the machines made before booting (network boot). A
// report comes from any machine on the network: it is bounded, checked and
// put into the page as text only.
"use strict";

(function () {
  const OS_REFRESH_MS = 5000;
  const OS_MAX_LISTING = 4 * 1024 * 1024;
  const OS_MAX_REPORT = 65536;
  const OS_MAX_ROWS = 200;
  const OS_FIELD = 80;
  const REPORT_NAME = /^[0-9a-f]{32}-[0-9a-f]{16}-\d{1,10}\.json$/;
  // fwupd's update states.
  const STATES = { 1: "pending", 2: "updated", 3: "failed", 4: "needs reboot", 5: "failed (transient)" };
  const FAILED = new Set([3, 5]);

  function text(value, max = OS_FIELD) {
    const clean = String(value === undefined || value === null ? "" : value).replace(/[^\x20-\x7e]/g, "?");
    return clean.length > max ? clean.slice(0, max - 1) + "\u2026" : clean;
  }

  // A report, read by page.js's bounded reader (never more than its bound
  // is taken in); null when it cannot be read.
  async function fetchText(url, limit) {
    try {
      return await fetchBounded(url, limit);
    } catch (e) {
      return null;
    }
  }

  // One row per update in a report; null for what is no fwupd report.
  function rowsOf(name, body) {
    let report;
    try {
      report = JSON.parse(body);
    } catch (e) {
      return null;
    }
    if (!report || typeof report !== "object" || !Array.isArray(report.Reports)) return null;
    const machine = text(String(report.MachineId || "").slice(0, 12), 12);
    return report.Reports.slice(0, 16).map((update) => {
      const u = update && typeof update === "object" ? update : {};
      const state = Number(u.UpdateState);
      // Only the first update's time is checked by the depot: a later one
      // past what a Date holds (about 275,000 years) would make
      // toISOString throw and leave the whole table undrawn.
      const created = Number(u.Created) > 0 && Number(u.Created) <= 8.64e12 ? Number(u.Created) : 0;
      return {
        name, machine, failed: FAILED.has(state),
        created: created,
        cells: [
          created > 0 ? new Date(created * 1000).toISOString().replace("T", " ").slice(0, 19) : "unknown",
          machine,
          "OS",
          text(Array.isArray(u.Guid) ? u.Guid[0] : ""),
          text(u.VersionOld, 16),
          text(u.VersionNew, 16),
          STATES[state] || "state " + text(u.UpdateState, 8),
          text(u.UpdateError, 160),
        ],
      };
    });
  }

  function section() {
    let table = document.getElementById("os-updates");
    if (table) return table;
    const title = document.createElement("h2");
    title.textContent = "Updates through the OS (fwupd)";
    const note = document.createElement("p");
    note.id = "os-status";
    note.textContent = "Reading results/os/\u2026";
    table = document.createElement("table");
    table.id = "os-updates";
    const head = table.createTHead().insertRow();
    for (const label of ["Reported", "Machine", "Route", "Device", "From", "To", "State", "Error"]) {
      const cell = document.createElement("th");
      cell.textContent = label;
      head.appendChild(cell);
    }
    table.createTBody();
    const runs = document.getElementById("runs");
    const after = runs ? runs.nextSibling : null;
    for (const part of [title, note, table]) document.body.insertBefore(part, after);
    return table;
  }

  // Reports are written once: each is read once, its rows kept while it
  // is among the newest. What does not parse is read again: the depot
  // writes a report in place, so a read may meet it half-written.
  let reports = new Map();

  async function refresh() {
    const table = section();
    const note = document.getElementById("os-status");
    // As page.js reads a day: a listing over its bound (a flood of
    // reports) is read as far as the bound, and the note says so.
    let names = [];
    let cut = false;
    try {
      const top = await listingOf("results/os/", OS_MAX_LISTING);
      names = top.listing.map((item) => item && item.name).filter((n) => typeof n === "string" && REPORT_NAME.test(n));
      cut = top.cut;
    } catch (e) {
      names = []; // no results/os/ before the first report
    }
    // The newest first, by when fwupd recorded the update (the name's end):
    // only OS_MAX_ROWS reports are read, and a name starts with its machine.
    const createdOf = (name) => Number(name.slice(name.lastIndexOf("-") + 1, -".json".length));
    names.sort((a, b) => (createdOf(b) - createdOf(a)) || (a < b ? 1 : a > b ? -1 : 0));
    const rows = [];
    const kept = new Map();
    for (const name of names.slice(0, OS_MAX_ROWS)) {
      if (!reports.has(name)) {
        const body = await fetchText("results/os/" + name, OS_MAX_REPORT);
        const found = body === null ? null : rowsOf(name, body);
        if (found === null) continue; // tried again at the next refresh
        reports.set(name, found);
      }
      kept.set(name, reports.get(name));
      rows.push(...kept.get(name));
    }
    reports = kept;
    // Failures first, then the newest.
    rows.sort((a, b) => (b.failed - a.failed) || (b.created - a.created));
    const body = document.createElement("tbody");
    for (const row of rows) {
      const line = body.insertRow();
      line.className = row.failed ? "os-failed" : "os-updated";
      for (const value of row.cells) line.insertCell().textContent = value;
    }
    table.replaceChild(body, table.tBodies[0]);
    const failed = rows.filter((row) => row.failed).length;
    let said = rows.length + " update" + (rows.length === 1 ? "" : "s") + " reported by fwupd, " + failed + " failed";
    if (names.length > OS_MAX_ROWS) said += "; " + (names.length - OS_MAX_ROWS) + " older reports not read";
    if (cut) said += "; the listing of results/os/ is over 4 MiB: only its first part was read, other reports may be missing";
    note.textContent = said;
  }

  // The next refresh is planned once this one is over, as page.js does:
  // on a slow depot, refreshes never pile up.
  async function start() {
    try {
      await refresh();
    } catch (e) {
      // tried again at the next refresh
    }
    setTimeout(start, OS_REFRESH_MS);
  }
  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", start);
  else start();
})();
