// zelkd's page: every printer zelkd serves, kept current by zelkd's event
// stream (nothing is polled), with its commands. The page's files load
// without the key; every call and the stream carry it.
"use strict";

const KEY_STORE = "zelkd.apiKey";
const WINDOW_MS = 30 * 60 * 1000; // the temperatures zelkd keeps
const LOG_LINES = 2000;
const RETRY_MS = 3000;

const page = {
  key: null,
  keySource: null, // "session": the slicer's window gave it; "local": kept here
  stream: null,
  retry: null,
  printers: new Map(), // id -> entry (see card())
  logDay: null,
  historyTimer: null,
};

const $ = (selector, root = document) => root.querySelector(selector);

// --- the key

// A QR code of `zelkd --show-key` opens the page as /#key=KEY: the fragment
// never reaches a server, and it leaves the address bar (and the history) at
// once, so that no bookmark or shared link carries it. True when it held a
// key, which then is the page's.
function takeKeyFromAddress() {
  const m = /(?:^#|&)key=([^&]+)/.exec(location.hash);
  if (!m) return false;
  history.replaceState(null, "", location.pathname + location.search);
  page.key = decodeURIComponent(m[1]);
  page.keySource = "local";
  try {
    localStorage.setItem(KEY_STORE, page.key);
  } catch (e) {
    page.keySource = "address"; // kept for this visit only
  }
  return true;
}

function findKey() {
  if (page.key) return true;
  // PrusaSlicer opens a host's page in its own window with the key here.
  for (const [store, name, source] of [[sessionStorage, "apiKey", "session"],
                                       [localStorage, KEY_STORE, "local"]]) {
    try {
      const key = store.getItem(name);
      if (key) {
        page.key = key;
        page.keySource = source;
        return true;
      }
    } catch (e) {
      // storage refused (private mode): the key is asked for every time
    }
  }
  return false;
}

function forgetKey() {
  try {
    localStorage.removeItem(KEY_STORE);
    if (page.keySource === "session") sessionStorage.removeItem("apiKey");
  } catch (e) {
    // nothing was kept
  }
  page.key = null;
  page.keySource = null;
  disconnect();
  askForKey("");
}

function askForKey(error) {
  $("#key-panel").hidden = false;
  $(".panels").hidden = true;
  $("#forget").hidden = true;
  const text = $("#key-error");
  text.textContent = error;
  text.hidden = !error;
  $("#key-input").focus();
}

function keyRefused() {
  try {
    localStorage.removeItem(KEY_STORE);
  } catch (e) {
    // nothing was kept
  }
  page.key = null;
  disconnect();
  askForKey("zelkd refused that key. Check it with zelkd --show-key on the printers' computer.");
}

// --- calls

class Refused extends Error {}

async function call(method, path, body) {
  const headers = { "X-Api-Key": page.key };
  let payload;
  if (body !== undefined) {
    headers["Content-Type"] = "application/json";
    payload = JSON.stringify(body);
  }
  const r = await fetch(path, { method, headers, body: payload, cache: "no-store" });
  if (r.status === 401 || r.status === 403) {
    keyRefused();
    throw new Refused("the API key was refused");
  }
  const text = await r.text();
  let data = null;
  try {
    data = text ? JSON.parse(text) : null;
  } catch (e) {
    data = null;
  }
  if (!r.ok) throw new Error((data && data.error) || `${r.status} ${r.statusText}`);
  return data;
}

function base(id) {
  return "/printers/" + encodeURIComponent(id);
}

// An upload with its own progress (fetch() has none for a request body).
function upload(id, file, optimize, progress) {
  return new Promise((resolve, reject) => {
    const form = new FormData();
    form.append("print", "true");
    form.append("optimize", optimize ? "true" : "false");
    form.append("file", file, file.name);
    const xhr = new XMLHttpRequest();
    xhr.open("POST", base(id) + "/api/files/local");
    xhr.setRequestHeader("X-Api-Key", page.key);
    xhr.upload.onprogress = (e) => e.lengthComputable && progress(e.loaded / e.total);
    xhr.onerror = () => reject(new Error("the connection to zelkd broke off"));
    xhr.onload = () => {
      let data = null;
      try {
        data = JSON.parse(xhr.responseText);
      } catch (e) {
        data = null;
      }
      if (xhr.status === 401 || xhr.status === 403) {
        keyRefused();
        reject(new Refused("the API key was refused"));
      } else if (xhr.status === 201) {
        resolve(data);
      } else {
        reject(new Error((data && data.error) || `${xhr.status} ${xhr.statusText}`));
      }
    };
    xhr.send(form);
  });
}

// --- the stream

async function connect() {
  $("#key-panel").hidden = true;
  $(".panels").hidden = false;
  $("#forget").hidden = false;
  try {
    const settings = await call("GET", "/api/settings");
    const name = settings && settings.appearance && settings.appearance.name;
    $("#host").textContent = name ? " on " + name : "";
    document.title = "Zelk printers" + $("#host").textContent;
  } catch (e) {
    if (e instanceof Refused) return;
    showBanner("zelkd does not answer: " + e.message);
  }
  openStream();
  refreshHistory();
}

function disconnect() {
  clearTimeout(page.retry);
  if (page.stream) page.stream.close();
  page.stream = null;
  setLink("off", "Not connected");
  for (const id of [...page.printers.keys()]) drop(id);
  $("#no-printers").hidden = true;
}

function setLink(state, text) {
  const link = $("#link");
  link.dataset.link = state;
  link.textContent = text;
}

function showBanner(text) {
  const banner = $("#banner");
  banner.textContent = text;
  banner.hidden = !text;
}

const handlers = {
  printer: (p) => updatePrinter(p),
  temperatures: (t) => addSamples(t.printer, t.samples, true),
  temperature: (t) => addSamples(t.printer, [[t.time, t.actual, t.target]], false),
  logs: (l) => {
    // The last frame of what a new stream replays.
    $("#log").textContent = "";
    page.logDay = null;
    l.lines.forEach(addLog);
    $("#no-printers").hidden = page.printers.size > 0;
  },
  log: (line) => addLog(line),
  upload: (u) => uploadEvent(u),
  event: (e) => printerEvent(e),
};

function openStream() {
  clearTimeout(page.retry);
  // An EventSource cannot send headers: the key goes as zelkd's apikey
  // parameter, which zelkd masks in its logs.
  const stream = new EventSource("/api/zelkd/events?apikey=" + encodeURIComponent(page.key));
  page.stream = stream;
  setLink("connecting", "Connecting…");
  stream.onopen = () => {
    setLink("live", "Live");
    showBanner("");
  };
  stream.onerror = () => {
    if (stream.readyState !== EventSource.CLOSED) {
      setLink("connecting", "Reconnecting…");
      return;
    }
    // Refused (a wrong key) or zelkd gone: a call tells which.
    setLink("off", "Not connected");
    page.stream = null;
    call("GET", "/api/version").then(
      () => (page.retry = setTimeout(openStream, RETRY_MS)),
      (e) => {
        if (e instanceof Refused) return;
        showBanner("zelkd cannot be reached; trying again.");
        page.retry = setTimeout(openStream, RETRY_MS);
      });
  };
  for (const [type, handle] of Object.entries(handlers)) {
    stream.addEventListener(type, (e) => {
      if (page.stream === stream) handle(JSON.parse(e.data));
    });
  }
}

// --- printers

function card(id) {
  let entry = page.printers.get(id);
  if (entry) return entry;
  const el = $("#printer-template").content.firstElementChild.cloneNode(true);
  el.dataset.printer = id;
  entry = { id, el, data: null, chart: makeChart($("canvas", el)) };
  $(".pause", el).onclick = () => pauseOrResume(entry);
  $(".abort", el).onclick = () => abort(entry);
  $(".load", el).onclick = () => filament(entry, "load");
  $(".unload", el).onclick = () => filament(entry, "unload");
  $(".upload", el).onsubmit = (e) => {
    e.preventDefault();
    send(entry);
  };
  $(".file", el).onchange = () => render(entry);
  page.printers.set(id, entry);
  $("#printers").append(el);
  $("#no-printers").hidden = true;
  return entry;
}

function drop(id) {
  const entry = page.printers.get(id);
  if (!entry) return;
  entry.chart.destroy();
  entry.el.remove();
  page.printers.delete(id);
}

function updatePrinter(p) {
  // A printer is known by its address until it says its serial number.
  if (p.printer !== p.address) drop(p.address);
  const entry = card(p.printer);
  entry.data = p;
  render(entry);
}

function minutes(n) {
  if (n < 1) return "less than a minute";
  if (n < 60) return `${n} min`;
  return `${Math.floor(n / 60)} h ${n % 60} min`;
}

function jobText(p) {
  const job = p.job;
  const phase = job.zelk.phase;
  const name = job.job.file.name;
  const done = job.progress.completion;
  switch (phase) {
    case "sending":
    case "sent":
      return [done, `Sending ${name} to the printer: ${Math.round(done || 0)} %`];
    case "waiting-for-button":
      return [0, `${name} is on the printer, waiting for its button`];
    case "printing":
    case "none": {
      if (!p.state.flags.printing && !p.state.flags.paused) return [null, ""];
      const left = p.minutesLeft === null ? "" :
        p.minutesLeft < 1 ? ", less than a minute left" : `, about ${minutes(p.minutesLeft)} left`;
      return [p.progress, `${p.progress} % printed${left}` + (name ? ` (${name})` : "")];
    }
    case "finished":
      return [100, `${name} printed`];
    case "failed":
      return [null, `${name} failed: ${job.zelk.reason}`];
    case "cancelled":
      return [null, `${name}: ${job.zelk.reason}`];
  }
  return [null, ""];
}

const PAUSABLE = new Set(["Building"]);
const RESUMABLE = new Set(["Paused"]);
const ABORTABLE = new Set(["JobQueued", "LoadHeating", "LoadExtruding", "UnloadHeating",
  "UnloadRetracting"]);
const FILAMENT = new Set(["Idle", "Paused", "OutOfFilament"]);

function render(entry) {
  const p = entry.data;
  if (!p) return;
  const el = entry.el;
  const s = p.state;
  const device = s.zelk.state;
  el.dataset.state = device;
  el.classList.toggle("offline", !p.attached);
  $(".name", el).textContent = `${p.model || "Zelk"} ${p.serial || p.printer}`;
  $(".badge", el).textContent = s.text;
  $(".badge", el).dataset.text = s.text;
  $(".status", el).textContent = s.zelk.statusLine;
  $(".waiting", el).hidden = !s.waitingForButton;
  const error = $(".error", el);
  error.textContent = s.error ? "Error: " + s.error : "";
  error.hidden = !s.error;

  const [done, text] = jobText(p);
  const progress = $(".progress", el);
  if (done === null || done === undefined) progress.removeAttribute("value");
  else progress.value = done;
  $(".job", el).hidden = !text;
  $(".progress-text", el).textContent = text;
  $(".temperature", el).textContent = temperatureText(p.temperature.tool0);

  const busy = ["sending", "sent"].includes(p.job.zelk.phase);
  const pause = $(".pause", el);
  pause.textContent = RESUMABLE.has(device) ? "Resume" : "Pause";
  pause.disabled = !p.attached || !(PAUSABLE.has(device) || RESUMABLE.has(device));
  $(".abort", el).disabled = !p.attached || busy ||
    !(s.flags.printing || s.flags.paused || ABORTABLE.has(device));
  $(".load", el).disabled = !p.attached || !FILAMENT.has(device);
  $(".unload", el).disabled = !p.attached || !FILAMENT.has(device);
  $(".send", el).disabled = !p.attached || device !== "Idle" || busy || entry.uploading ||
    !$(".file", el).files.length;
}

function temperatureText(t) {
  const now = `Hot end ${Math.round(t.actual)} °C`;
  return t.target > 0 ? `${now}, target ${Math.round(t.target)} °C` : now;
}

function say(entry, text, error) {
  const message = $(".message", entry.el);
  message.textContent = text;
  message.classList.toggle("error", !!error);
}

async function command(entry, path, body, doing) {
  say(entry, doing);
  try {
    await call("POST", base(entry.id) + path, body);
  } catch (e) {
    if (!(e instanceof Refused)) say(entry, e.message, true);
  }
}

function pauseOrResume(entry) {
  const resume = entry.data.state.zelk.state === "Paused";
  command(entry, "/api/job", { command: "pause", action: resume ? "resume" : "pause" },
    resume ? "Resuming…" : "Pausing…");
}

function abort(entry) {
  if (!confirm(`Abort the print on ${$(".name", entry.el).textContent}?`)) return;
  command(entry, "/api/job", { command: "cancel" }, "Aborting…");
}

function filament(entry, which) {
  command(entry, "/api/zelkd/filament", { command: which },
    which === "load" ? "Loading filament: follow the printer's status." :
      "Unloading filament: follow the printer's status.");
}

async function send(entry) {
  const file = $(".file", entry.el).files[0];
  if (!file) return;
  const bar = $(".upload-progress", entry.el);
  entry.uploading = true;
  render(entry);
  bar.hidden = false;
  bar.value = 0;
  say(entry, `Uploading ${file.name}…`);
  try {
    const answer = await upload(entry.id, file, $(".optimize", entry.el).checked, (f) => {
      bar.value = Math.round(f * 100);
      say(entry, f < 1 ? `Uploading ${file.name}: ${bar.value} %` :
        `${file.name} is uploaded${$(".optimize", entry.el).checked ? "; optimizing…" : "."}`);
    });
    const why = answer && answer.zelk && answer.zelk.notPrinted;
    say(entry, why ? `${file.name} is stored, but not printed: ${why}` :
      `${file.name} goes to the printer.`, !!why);
    $(".upload", entry.el).reset();
  } catch (e) {
    if (!(e instanceof Refused)) say(entry, `${file.name} was not uploaded: ${e.message}`, true);
  } finally {
    entry.uploading = false;
    bar.hidden = true;
    render(entry);
  }
}

function uploadEvent(u) {
  // What zelkd sends to a printer (the page's own upload shows its progress).
  if (u.phase !== "sending" || !u.printer) return;
  const entry = page.printers.get(u.printer);
  if (entry) $(".progress-text", entry.el).textContent =
    `Sending ${u.file} to the printer: ${u.percent} %`;
}

function printerEvent(e) {
  if (["sending", "started", "finished", "failed", "cancelled"].includes(e.event)) {
    clearTimeout(page.historyTimer);
    page.historyTimer = setTimeout(refreshHistory, 300);
  }
  if (e.event === "unplugged") syncPrinters();
}

// A printer that never said its serial number is forgotten when unplugged.
async function syncPrinters() {
  try {
    const list = await call("GET", "/api/zelkd/printers");
    const known = new Set(list.printers.map((p) => p.printer));
    for (const id of [...page.printers.keys()]) if (!known.has(id)) drop(id);
    $("#no-printers").hidden = page.printers.size > 0;
  } catch (e) {
    // the stream says what comes next
  }
}

// --- the temperature chart

const SHORTEST_MS = 2 * 60 * 1000; // the narrowest the chart's window gets

function clock(ms, seconds) {
  const parts = { hour: "2-digit", minute: "2-digit" };
  if (seconds) parts.second = "2-digit";
  return new Date(ms).toLocaleTimeString([], parts);
}

function makeChart(canvas) {
  const line = (label, color, dash) => ({
    label, data: [], borderColor: color, backgroundColor: color, borderWidth: dash ? 1.5 : 2,
    borderDash: dash ? [6, 4] : [], pointRadius: 0, stepped: !!dash,
  });
  return new Chart(canvas, {
    type: "line",
    data: { datasets: [line("Hot end", "#d9480f", false), line("Target", "#868e96", true)] },
    options: {
      animation: false, responsive: true, maintainAspectRatio: false, parsing: false,
      normalized: true, interaction: { mode: "index", intersect: false },
      scales: {
        x: {
          type: "linear",
          ticks: {
            maxTicksLimit: 6,
            callback(ms) {
              return clock(ms, this.chart.scales.x.max - this.chart.scales.x.min < 600000);
            },
          },
        },
        y: { suggestedMin: 0, suggestedMax: 240, title: { display: true, text: "°C" } },
      },
      plugins: {
        legend: { labels: { boxWidth: 12 } },
        tooltip: { callbacks: { title: (items) => clock(items[0].parsed.x, true) } },
      },
    },
  });
}

function addSamples(id, samples, replace) {
  const entry = page.printers.get(id) || card(id);
  const [actual, target] = entry.chart.data.datasets;
  if (replace) {
    actual.data = [];
    target.data = [];
  }
  for (const [t, a, g] of samples) {
    actual.data.push({ x: t, y: a });
    target.data.push({ x: t, y: g });
  }
  if (!actual.data.length) return;
  // The window ends at zelkd's latest sample (the two clocks need not
  // agree) and spans the last 30 minutes, or what zelkd has of them.
  const end = actual.data[actual.data.length - 1].x;
  while (actual.data.length && actual.data[0].x < end - WINDOW_MS) {
    actual.data.shift();
    target.data.shift();
  }
  const x = entry.chart.options.scales.x;
  x.min = Math.min(end - SHORTEST_MS, actual.data[0].x);
  x.max = end;
  entry.chart.update("none");
}

// --- the log and the history

function addLog(line) {
  const log = $("#log");
  const when = new Date(line.time);
  // A page left open over midnight starts the new day's log, as zelkd does.
  if (page.logDay !== null && page.logDay !== when.toDateString()) log.textContent = "";
  page.logDay = when.toDateString();
  const follow = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  const who = page.printers.size > 1 ? ` ${line.printer}` : "";
  log.append(document.createTextNode(`${when.toLocaleTimeString()}${who}  ${line.text}\n`));
  while (log.childNodes.length > LOG_LINES) log.firstChild.remove();
  if (follow) log.scrollTop = log.scrollHeight;
}

async function refreshHistory() {
  let list;
  try {
    list = (await call("GET", "/api/zelkd/history?limit=25")).prints;
  } catch (e) {
    return;
  }
  const body = $("#history tbody");
  body.textContent = "";
  for (const r of list) {
    const row = body.insertRow();
    const took = r.ended === null ? "" : minutes(Math.round((r.ended - r.started) / 60));
    const outcome = r.outcome === null ? "running" : r.outcome + (r.reason ? `: ${r.reason}` : "");
    const cells = [new Date(r.started * 1000).toLocaleString(), r.file, r.printer, took,
      outcome, r.filament === null ? "" : `${(r.filament / 1000).toFixed(2)} m`];
    for (const text of cells) row.insertCell().textContent = text;
    row.dataset.outcome = r.outcome || "running";
  }
  $("#history-empty").hidden = list.length > 0;
  $("#history").hidden = list.length === 0;
}

// --- start

$("#key-form").onsubmit = (e) => {
  e.preventDefault();
  const key = $("#key-input").value.trim();
  if (!key) return;
  page.key = key;
  page.keySource = "local";
  try {
    localStorage.setItem(KEY_STORE, key);
  } catch (err) {
    page.keySource = "typed";
  }
  $("#key-input").value = "";
  connect();
};
$("#forget").onclick = forgetKey;

// The page may be open already when the address with a key is opened.
window.addEventListener("hashchange", () => {
  if (!takeKeyFromAddress()) return;
  disconnect();
  connect();
});

if (takeKeyFromAddress() || findKey()) connect();
else askForKey("");
