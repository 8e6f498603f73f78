// The farm view: every printer of every zelkd host on this host's MQTT
// broker, read-only, fed by zelkd's own broker connection (the "farm"
// events of /api/zelkd/events, first the whole farm, then each change).
// Loaded by the page as a script of its own; it adds its section to the
// element #farm, or to the end of the page, once zelkd says a broker is
// configured. The API key is the page's (sessionStorage.apiKey, as a
// slicer's window sets it, or the one the page keeps in localStorage).
(function () {
  "use strict";
  const rows = new Map(); // "host/printer" -> row
  let section = null;
  let body = null;
  let status = null;

  function key() {
    return sessionStorage.getItem("apiKey") || localStorage.getItem("zelkd.apiKey") || "";
  }

  function cell(text) {
    const td = document.createElement("td");
    td.textContent = text === null || text === undefined ? "–" : String(text);
    return td;
  }

  function render() {
    body.replaceChildren();
    const sorted = [...rows.values()].sort((a, b) =>
      (a.host + "/" + a.printer).localeCompare(b.host + "/" + b.printer));
    for (const r of sorted) {
      const tr = document.createElement("tr");
      tr.className = r.online ? "farm-online" : "farm-offline";
      tr.append(cell(r.host), cell(r.printer), cell(r.status || r.state),
        cell(r.temperature === null ? null : r.temperature + " °C"),
        cell(r.progress === null ? null : r.progress + " %"),
        cell(r.minutes_left === null ? null : r.minutes_left + " min"),
        cell(r.online ? "online" : "offline"));
      body.append(tr);
    }
    status.textContent = sorted.length + " printer(s) on " +
      new Set(sorted.map((r) => r.host)).size + " host(s)";
  }

  function build(farm) {
    section = document.createElement("section");
    section.id = "farm-view";
    section.innerHTML =
      "<h2>Farm</h2><p class=\"farm-status\"></p>" +
      "<table class=\"farm\"><thead><tr><th>Host</th><th>Printer</th><th>State</th>" +
      "<th>Hot end</th><th>Progress</th><th>Left</th><th></th></tr></thead>" +
      "<tbody></tbody></table>";
    const place = document.getElementById("farm") || document.body;
    place.append(section);
    place.hidden = false;
    body = section.querySelector("tbody");
    status = section.querySelector(".farm-status");
    section.dataset.broker = farm.broker;
  }

  function take(event) {
    const data = JSON.parse(event.data);
    if ("enabled" in data) { // the whole farm, as the stream starts
      rows.clear();
      for (const r of data.printers) rows.set(r.host + "/" + r.printer, r);
    } else {
      if (data.removed === true) {
        for (const k of [...rows.keys()]) if (k.startsWith(data.host + "/")) rows.delete(k);
      } else if (typeof data.removed === "string") {
        rows.delete(data.host + "/" + data.removed);
      }
      for (const r of data.printers || []) rows.set(r.host + "/" + r.printer, r);
    }
    render();
  }

  async function start() {
    const k = key();
    if (!k) return setTimeout(start, 1000); // the page has not got the key yet
    const answer = await fetch("/api/zelkd/farm", { headers: { "X-Api-Key": k } });
    if (!answer.ok) return setTimeout(start, 5000);
    const farm = await answer.json();
    if (!farm.enabled) return; // no broker: no farm view
    build(farm);
    const stream = new EventSource("/api/zelkd/events?apikey=" + encodeURIComponent(k));
    stream.addEventListener("farm", take);
  }

  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", start);
  else start();
})();
