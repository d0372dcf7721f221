// The bench page: sends the settings to POST /api/capture, follows the
// server's state on /api/events, plots the latest capture on a canvas and
// lists the files. Plain script, no build step and no library: the server
// serves these three files and nothing else, under a CSP that allows no
// other host and no inline code.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);

  // ---------------------------------------------------------------------
  // Numbers in engineering units, as qelvo prints them.

  const PREFIXES = [
    { factor: 1e-12, prefix: "p" },
    { factor: 1e-9, prefix: "n" },
    { factor: 1e-6, prefix: "µ" },
    { factor: 1e-3, prefix: "m" },
    { factor: 1, prefix: "" },
    { factor: 1e3, prefix: "k" },
    { factor: 1e6, prefix: "M" },
  ];

  // The largest prefix whose factor does not exceed `magnitude`, so that the
  // number shown is at least 1 (0 shows in the plain unit).
  function prefixFor(magnitude) {
    if (!(magnitude > 0) || !isFinite(magnitude)) {
      return PREFIXES[4];
    }
    let chosen = PREFIXES[0];
    for (const p of PREFIXES) {
      // The small slack keeps 1e-3 from turning into 1000 µ by rounding.
      if (p.factor <= magnitude * (1 + 1e-9)) {
        chosen = p;
      }
    }
    return chosen;
  }

  function engFormat(value, unit, decimals) {
    const p = prefixFor(Math.abs(value));
    return (value / p.factor).toFixed(decimals) + " " + p.prefix + unit;
  }

  // ---------------------------------------------------------------------
  // Talking to qelvo-serve.

  async function api(method, path, body) {
    const options = { method: method, headers: {}, credentials: "same-origin" };
    if (body !== undefined) {
      // The server takes no POST without this type: a foreign page's form
      // cannot send it.
      options.headers["Content-Type"] = "application/json";
      options.body = JSON.stringify(body);
    }
    let response;
    try {
      response = await fetch(path, options);
    } catch (err) {
      return { status: 0, data: { error: "qelvo-serve cannot be reached (" + err.message + ")" } };
    }
    let data = null;
    try {
      data = await response.json();
    } catch (err) {
      data = { error: "HTTP " + response.status };
    }
    return { status: response.status, data: data };
  }

  // The cookie set by the answer to /?token= carries the token from now on;
  // the address bar, the history and a shared screen should not.
  function forgetToken() {
    const url = new URL(window.location.href);
    if (url.searchParams.has("token")) {
      url.searchParams.delete("token");
      history.replaceState(history.state, "", url.pathname + url.search + url.hash);
    }
  }

  // ---------------------------------------------------------------------
  // The settings form.

  const PER_CHANNEL = [
    { field: "gain", list: "gains" },
    { field: "offset", list: "offsets" },
    { field: "probe", list: "probes" },
  ];

  function twoChannels() {
    return $("channels").value.indexOf(",") >= 0;
  }

  // Shows the second input of gain, offset and probe when two channels are
  // chosen, and labels each with its channel in column order.
  function updateChannelFields() {
    const two = twoChannels();
    const order = $("channels").value.split(",");
    $("settings").classList.toggle("two", two);
    for (const { field } of PER_CHANNEL) {
      const first = $(field + "-0");
      const second = $(field + "-1");
      second.hidden = !two;
      first.setAttribute("aria-label", two ? field + " of CH" + order[0] : field);
      second.setAttribute("aria-label", field + " of CH" + (order[1] || ""));
      first.placeholder = two ? "CH" + order[0] : second.dataset.example;
      second.placeholder = two ? "CH" + order[1] : "";
    }
  }

  function updateFormatFields() {
    $("separator").hidden = $("format").value !== "csv";
    $("name").placeholder = $("format").value === "csv" ? "capture-####.csv" : "capture-####.dat";
  }

  function putText(body, key, value) {
    const text = value.trim();
    if (text !== "") {
      body[key] = text;
    }
  }

  // The body of POST /api/capture: string values spelled as on qelvo's
  // command line; an empty field is left out so that qelvo's own default
  // (or the configuration file's) applies.
  function readSettings(series) {
    const body = {};
    const channels = $("channels").value;
    const two = twoChannels();
    if (two) {
      body.channels = channels;
    } else {
      body.channel = channels;
    }
    putText(body, "timebase", $("timebase").value);
    for (const { field, list } of PER_CHANNEL) {
      const first = $(field + "-0").value.trim();
      if (!two) {
        putText(body, field, first);
        continue;
      }
      const second = $(field + "-1").value.trim();
      // One value empty of two is sent as it is: qelvo's message then says
      // what is missing, next to the field.
      if (first !== "" || second !== "") {
        body[list] = first + "," + second;
      }
    }
    body.format = $("format").value;
    if (body.format === "csv") {
      body.separator = $("separator").value;
    }
    putText(body, "name", $("name").value);
    if ($("measure").checked) {
      body.measure = "yes";
    }
    if (series) {
      putText(body, "count", $("count").value);
      putText(body, "interval", $("interval").value);
      if ($("keep-going").checked) {
        body.keep_going = "yes";
      }
    }
    return body;
  }

  // Which field a problem line of qelvo's belongs to.
  const PROBLEM_FIELDS = [
    { pattern: /^Invalid (channel list|Channel)\b/, field: "channels" },
    { pattern: /^Invalid (time base|Time\/div)\b/, field: "timebase" },
    { pattern: /^Invalid (Y-gain|Volts\/div)\b/, field: "gain" },
    { pattern: /^Invalid Y-offset\b/, field: "offset" },
    { pattern: /^Invalid ProbeFactor\b/, field: "probe" },
    { pattern: /^Invalid (format|separator)\b/, field: "format" },
    { pattern: /^Invalid (count|interval)\b/, field: "series" },
    { pattern: /^Invalid file name\b/, field: "name" },
  ];
  const PROBLEM_SLOTS = ["channels", "timebase", "gain", "offset", "probe", "format", "name", "series"];

  function fieldOfProblem(problem, body) {
    for (const { pattern, field } of PROBLEM_FIELDS) {
      if (pattern.test(problem)) {
        return field;
      }
    }
    // "Invalid list (2,1,3): ..." names the list, not the option.
    const list = /^Invalid list \((.*)\)/.exec(problem);
    if (list) {
      for (const { field, list: key } of PER_CHANNEL) {
        if (body[key] === list[1]) {
          return field;
        }
      }
    }
    return null;
  }

  function clearProblems() {
    for (const slot of PROBLEM_SLOTS) {
      const p = $("problem-" + slot);
      p.hidden = true;
      p.textContent = "";
      $("field-" + slot).classList.remove("invalid");
    }
    showMessage([], false);
  }

  function addProblem(slot, text) {
    const p = $("problem-" + slot);
    p.textContent = p.textContent === "" ? text : p.textContent + "\n" + text;
    p.hidden = false;
    $("field-" + slot).classList.add("invalid");
  }

  // The box under the buttons: errors in the server's own words, one line
  // a paragraph; `info` for good news.
  function showMessage(lines, info) {
    const box = $("message");
    box.replaceChildren();
    for (const line of lines) {
      const p = document.createElement("p");
      p.textContent = line;
      box.appendChild(p);
    }
    box.classList.toggle("info", Boolean(info));
    box.hidden = lines.length === 0;
  }

  function showAnswer(answer, body) {
    const data = answer.data || {};
    if (answer.status === 400 && Array.isArray(data.problems)) {
      const loose = [];
      for (const problem of data.problems) {
        const slot = fieldOfProblem(problem, body);
        if (slot) {
          addProblem(slot, problem);
        } else {
          loose.push(problem);
        }
      }
      showMessage([data.error].concat(loose), false);
      return;
    }
    const lines = [data.error || "HTTP " + answer.status];
    if (data.cause) {
      lines.push(data.cause);
    }
    showMessage(lines, false);
  }

  async function startCapture(series) {
    clearProblems();
    const body = readSettings(series);
    view.posting = true;
    render();
    const answer = await api("POST", "/api/capture", body);
    view.posting = false;
    if (answer.status === 202 || answer.status === 200) {
      // The events stream tells the rest; this only bridges until it does,
      // unless its done event for this job came first.
      if (answer.data.job > view.lastDone) {
        view.busy = true;
        view.job = answer.data.job;
      }
    } else {
      showAnswer(answer, body);
    }
    render();
  }

  async function stopCapture() {
    const answer = await api("POST", "/api/stop", {});
    if (answer.status !== 200) {
      showAnswer(answer, {});
    }
  }

  // ---------------------------------------------------------------------
  // The state shared by every viewer, as /api/events tells it.

  const view = {
    connected: false,
    busy: false,
    job: null,
    posting: false,
    settings: null,
    samples: [],
    files: 0,
    started: 0,
    note: "",
    failed: false, // the last job ended with a status other than 0
    lastDone: 0, // the number of the last job whose done event came
  };

  function describeSettings(settings) {
    if (!settings) {
      return "";
    }
    const parts = [];
    const channels = settings.channels || settings.channel;
    if (channels) {
      parts.push(channels === "0" ? "channel at the scope" : "CH " + channels);
    }
    if (settings.timebase) {
      parts.push(settings.timebase + "s/div");
    }
    if (settings.count) {
      parts.push(settings.count === "0" ? "series until stopped" : "series of " + settings.count);
    }
    return parts.join(", ");
  }

  function render() {
    const badge = $("busy");
    badge.classList.remove("idle", "busy", "lost");
    if (!view.connected) {
      badge.textContent = "offline";
      badge.classList.add("lost");
    } else if (view.busy) {
      badge.textContent = "capturing";
      badge.classList.add("busy");
    } else {
      badge.textContent = "idle";
      badge.classList.add("idle");
    }

    let text = view.note;
    if (view.busy && view.job !== null) {
      const parts = ["job " + view.job];
      const what = describeSettings(view.settings);
      if (what) {
        parts.push(what);
      }
      if (view.files > 0) {
        parts.push(view.files + (view.files === 1 ? " file" : " files"));
      }
      if (view.samples.length > 0) {
        parts.push(view.samples.join(" + ") + " samples");
      }
      text = parts.join(" · ");
    }
    $("status-text").textContent = text;
    $("status-text").classList.toggle("bad", !view.busy && view.failed);
    // No total is known ahead, so the bar only says that samples flow.
    $("progress").hidden = !view.busy;

    const blocked = view.busy || view.posting;
    $("capture").disabled = blocked;
    $("series").disabled = blocked;
    $("stop").disabled = !view.busy;
  }

  const handlers = {
    state(data) {
      view.busy = Boolean(data.busy);
      view.job = data.job;
      if (!view.busy) {
        view.samples = [];
      }
    },
    job(data) {
      view.busy = true;
      view.job = data.job;
      view.settings = data.settings || null;
      view.samples = [];
      view.files = 0;
      view.note = "";
    },
    progress(data) {
      if (data.job === view.job) {
        view.samples = data.samples || [];
      }
    },
    file(data) {
      view.files += 1;
      measures.set(data.name, data.measure || null);
      showCapture(data.name, data.job);
      refreshFiles();
    },
    done(data) {
      view.busy = false;
      view.samples = [];
      const files = data.files || [];
      view.note = "job " + data.job + " ended with status " + data.status;
      view.failed = data.status !== 0;
      view.lastDone = Math.max(view.lastDone, data.job);
      if (data.message) {
        view.note += ": " + data.message;
      }
      // A viewer that joined after the file event still plots the result.
      const last = files[files.length - 1];
      if (last && last.name !== plotted.name) {
        measures.set(last.name, last.measure || null);
        showCapture(last.name, data.job);
      }
      refreshFiles();
    },
  };

  function follow() {
    const events = new EventSource("/api/events");
    events.addEventListener("open", () => {
      view.connected = true;
      render();
    });
    events.addEventListener("error", () => {
      view.connected = false;
      render();
      // EventSource retries by itself unless the server refused outright
      // (a 401, say); then ask again a little later.
      if (events.readyState === EventSource.CLOSED) {
        setTimeout(follow, 5000);
        refreshStatus();
      }
    });
    for (const name of Object.keys(handlers)) {
      events.addEventListener(name, (event) => {
        let data;
        try {
          data = JSON.parse(event.data);
        } catch (err) {
          return;
        }
        view.connected = true;
        handlers[name](data);
        render();
      });
    }
  }

  async function refreshStatus() {
    const answer = await api("GET", "/api/status");
    if (answer.status !== 200) {
      showMessage([answer.data.error || "HTTP " + answer.status], false);
      return;
    }
    const s = answer.data;
    $("line").textContent = s.device + " at " + s.speed + " bit/s · " + s.program + " " + s.version;
  }

  // ---------------------------------------------------------------------
  // The captures folder.

  function formatBytes(bytes) {
    if (bytes < 1024) {
      return bytes + " B";
    }
    if (bytes < 1024 * 1024) {
      return (bytes / 1024).toFixed(1) + " KiB";
    }
    return (bytes / 1024 / 1024).toFixed(1) + " MiB";
  }

  function captureUrl(name) {
    return "/captures/" + encodeURIComponent(name);
  }

  let filesAsked = 0;

  async function refreshFiles() {
    // Only the latest answer is shown when several are on the way.
    const ask = ++filesAsked;
    const answer = await api("GET", "/api/captures");
    if (ask !== filesAsked || answer.status !== 200 || !Array.isArray(answer.data)) {
      return;
    }
    const rows = answer.data.map((file) => {
      const tr = document.createElement("tr");
      const nameCell = document.createElement("td");
      const link = document.createElement("a");
      link.href = captureUrl(file.name);
      link.download = file.name;
      link.textContent = file.name;
      nameCell.appendChild(link);
      const size = document.createElement("td");
      size.textContent = formatBytes(file.bytes);
      const when = document.createElement("td");
      when.textContent = String(file.modified).replace("T", " ").replace("Z", "");
      const action = document.createElement("td");
      const show = document.createElement("button");
      show.type = "button";
      show.textContent = "plot";
      show.title = "Plot " + file.name;
      show.addEventListener("click", () => showCapture(file.name, null));
      action.appendChild(show);
      tr.append(nameCell, size, when, action);
      return tr;
    });
    $("files").tBodies[0].replaceChildren(...rows);
    $("files").hidden = rows.length === 0;
    $("files-empty").hidden = rows.length > 0;
    // On first load, the newest file stands in for the latest capture.
    if (plotted.name === null && plotted.asked === 0 && answer.data.length > 0) {
      showCapture(answer.data[0].name, null);
    }
  }

  // ---------------------------------------------------------------------
  // The data files.

  // A TSV file (.dat): '#' comment lines, then "time<TAB>volts[<TAB>volts]".
  // A CSV file: a header row, then rows split by ',' or ';'. The channel of
  // each column comes from the header ("Volts CH1", "CH2 [V]"), or, for one
  // column of TSV, from the "Oscilloscope channel N" comment.
  function parseCapture(text) {
    const lines = text.split(/\r?\n/);
    let channels = [];
    let separator = "\t";
    let first = 0;
    const csv = lines.length > 0 && /^Time/.test(lines[0]);
    if (csv) {
      separator = lines[0].indexOf(";") >= 0 ? ";" : ",";
      channels = channelsIn(lines[0]);
      first = 1;
    } else {
      for (const line of lines) {
        if (line[0] !== "#") {
          break;
        }
        if (/Time \[s\]/.test(line) && channelsIn(line).length > 0) {
          channels = channelsIn(line);
        }
        const scope = /Oscilloscope channel (\d)/.exec(line);
        if (scope && channels.length === 0) {
          channels = [Number(scope[1])];
        }
      }
    }
    const time = [];
    const volts = [];
    for (let i = first; i < lines.length; ++i) {
      const line = lines[i];
      if (line === "" || line[0] === "#") {
        continue;
      }
      // The ';' CSV writes a decimal comma.
      const cells = (separator === ";" ? line.replace(/,/g, ".") : line).split(separator);
      const t = Number(cells[0]);
      if (cells.length < 2 || !isFinite(t)) {
        continue;
      }
      time.push(t);
      for (let k = 1; k < cells.length; ++k) {
        if (volts.length < k) {
          volts.push([]);
        }
        volts[k - 1].push(Number(cells[k]));
      }
    }
    // Columns the header did not name are numbered in order.
    for (let k = channels.length; k < volts.length; ++k) {
      channels.push(k + 1);
    }
    return { channels: channels.slice(0, volts.length), time: time, volts: volts };
  }

  function channelsIn(header) {
    const found = [];
    const re = /CH(\d)/g;
    let m;
    while ((m = re.exec(header)) !== null) {
      found.push(Number(m[1]));
    }
    return found;
  }

  const measures = new Map(); // file name -> measure entries of its file event
  const plotted = { name: null, capture: null, job: null, asked: 0 };

  async function showCapture(name, job) {
    const ask = ++plotted.asked;
    let response;
    try {
      response = await fetch(captureUrl(name), { credentials: "same-origin" });
    } catch (err) {
      return;
    }
    if (ask !== plotted.asked || !response.ok) {
      return;
    }
    // The TSV file's µ is Latin-1; CSV is ASCII, which Latin-1 reads alike.
    const text = new TextDecoder("iso-8859-1").decode(await response.arrayBuffer());
    if (ask !== plotted.asked) {
      return;
    }
    plotted.name = name;
    plotted.job = job;
    plotted.capture = parseCapture(text);
    const samples = plotted.capture.time.length;
    $("plot-title").textContent =
      name + " · " + samples + (samples === 1 ? " sample" : " samples") + " per channel";
    renderLegend(plotted.capture);
    renderMeasures(measures.get(name) || null);
    drawPlot();
  }

  // ---------------------------------------------------------------------
  // The measurement table.

  const MEASURE_COLUMNS = [
    { key: "samples", label: "Samples", show: (v) => String(v) },
    { key: "min", label: "Min", show: (v) => engFormat(v, "V", 3) },
    { key: "max", label: "Max", show: (v) => engFormat(v, "V", 3) },
    { key: "pp", label: "P-P", show: (v) => engFormat(v, "V", 3) },
    { key: "mean", label: "Mean", show: (v) => engFormat(v, "V", 3) },
    { key: "rms", label: "RMS", show: (v) => engFormat(v, "V", 3) },
    { key: "ac_rms", label: "AC RMS", show: (v) => engFormat(v, "V", 3) },
    { key: "frequency", label: "Frequency", show: (v) => engFormat(v, "Hz", 3) },
    { key: "period", label: "Period", show: (v) => engFormat(v, "s", 3) },
    { key: "duty", label: "Duty", show: (v) => v.toFixed(1) + " %" },
  ];

  function renderMeasures(entries) {
    const box = $("measures");
    if (!Array.isArray(entries) || entries.length === 0) {
      box.hidden = true;
      return;
    }
    const rows = entries.map((entry) => {
      const tr = document.createElement("tr");
      const th = document.createElement("th");
      th.scope = "row";
      th.textContent = "CH" + entry.channel;
      th.className = "ch" + entry.channel;
      tr.appendChild(th);
      for (const column of MEASURE_COLUMNS) {
        const td = document.createElement("td");
        const value = entry[column.key];
        td.dataset.key = column.key;
        td.dataset.label = column.label;
        // The exact number, for a reader (or a test) that wants more digits.
        td.dataset.value = value === null || value === undefined ? "null" : String(value);
        td.textContent = typeof value === "number" ? column.show(value) : "n/a";
        tr.appendChild(td);
      }
      return tr;
    });
    $("measure-table").tBodies[0].replaceChildren(...rows);
    box.hidden = false;
  }

  // ---------------------------------------------------------------------
  // The plot: one trace per channel, a grid at round values, time in
  // engineering units, volts on the left.

  function traceColour(channel) {
    const style = getComputedStyle(document.documentElement);
    return style.getPropertyValue(channel === 2 ? "--ch2" : "--ch1").trim();
  }

  function renderLegend(capture) {
    const items = capture.channels.map((channel) => {
      const li = document.createElement("li");
      const swatch = document.createElement("span");
      swatch.className = "swatch ch" + (channel === 2 ? 2 : 1);
      li.append(swatch, "CH" + channel);
      return li;
    });
    $("legend").replaceChildren(...items);
  }

  // Tick positions at 1, 2 or 5 times a power of ten, about `wanted` of
  // them across [lo, hi], with the prefix and decimals their labels need.
  function axisTicks(lo, hi, wanted) {
    const raw = (hi - lo) / Math.max(1, wanted);
    const power = Math.pow(10, Math.floor(Math.log10(raw)));
    let step = power;
    // A step a little under the wanted one is fine: a small plot then gets
    // 0, 2, 4, 6, 8 rather than only 0, 5, 10.
    for (const m of [1, 2, 5, 10]) {
      if (m * power >= raw * 0.7) {
        step = m * power;
        break;
      }
    }
    const prefix = prefixFor(Math.max(Math.abs(lo), Math.abs(hi)));
    const decimals = Math.max(0, -Math.floor(Math.log10(step / prefix.factor) + 1e-9));
    const ticks = [];
    for (let v = Math.ceil(lo / step - 1e-9) * step; v <= hi + step * 1e-9; v += step) {
      // Multiplying again keeps 0.30000000000000004 from creeping in.
      const value = Math.round(v / step) * step;
      let label = (value / prefix.factor).toFixed(decimals);
      if (Number(label) === 0) {
        label = (0).toFixed(decimals);
      }
      ticks.push({ value: value, label: label });
    }
    return { ticks: ticks, prefix: prefix.prefix };
  }

  function drawPlot() {
    const canvas = $("plot");
    const width = canvas.clientWidth;
    // Wide enough for a laptop, still a good part of a phone's screen.
    const height = Math.round(Math.min(420, Math.max(220, width * 0.55)));
    canvas.style.height = height + "px";
    const ratio = window.devicePixelRatio || 1;
    canvas.width = Math.round(width * ratio);
    canvas.height = Math.round(height * ratio);
    const ctx = canvas.getContext("2d");
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    ctx.fillStyle = "#ffffff";
    ctx.fillRect(0, 0, width, height);
    ctx.font = "12px system-ui, sans-serif";

    const capture = plotted.capture;
    if (!capture || capture.time.length === 0) {
      ctx.fillStyle = "#6b6b70";
      ctx.textAlign = "center";
      ctx.textBaseline = "middle";
      ctx.fillText(capture ? "The file holds no samples." : "Capture to see the waveform here.", width / 2, height / 2);
      return;
    }

    const box = { left: 52, right: width - 12, top: 18, bottom: height - 36 };
    const time = capture.time;
    const t0 = time[0];
    let t1 = time[time.length - 1];
    if (!(t1 > t0)) {
      t1 = t0 + 1;
    }
    let vLo = Infinity;
    let vHi = -Infinity;
    for (const trace of capture.volts) {
      for (const v of trace) {
        if (isFinite(v)) {
          vLo = Math.min(vLo, v);
          vHi = Math.max(vHi, v);
        }
      }
    }
    if (!(vHi >= vLo)) {
      vLo = -1;
      vHi = 1;
    }
    const pad = vHi > vLo ? (vHi - vLo) * 0.06 : Math.max(Math.abs(vHi) * 0.1, 0.5);
    vLo -= pad;
    vHi += pad;

    const x = (t) => box.left + ((t - t0) / (t1 - t0)) * (box.right - box.left);
    const y = (v) => box.bottom - ((v - vLo) / (vHi - vLo)) * (box.bottom - box.top);
    const timeAxis = axisTicks(t0, t1, Math.max(5, (box.right - box.left) / 90));
    const voltAxis = axisTicks(vLo, vHi, Math.max(4, (box.bottom - box.top) / 40));

    // Grid and labels.
    const style = getComputedStyle(document.documentElement);
    ctx.lineWidth = 1;
    ctx.strokeStyle = style.getPropertyValue("--grid").trim();
    ctx.fillStyle = style.getPropertyValue("--axis").trim();
    ctx.textAlign = "center";
    ctx.textBaseline = "top";
    ctx.beginPath();
    for (const tick of timeAxis.ticks) {
      const px = Math.round(x(tick.value)) + 0.5;
      ctx.moveTo(px, box.top);
      ctx.lineTo(px, box.bottom);
      ctx.fillText(tick.label, px, box.bottom + 4);
    }
    ctx.textAlign = "right";
    ctx.textBaseline = "middle";
    for (const tick of voltAxis.ticks) {
      const py = Math.round(y(tick.value)) + 0.5;
      ctx.moveTo(box.left, py);
      ctx.lineTo(box.right, py);
      ctx.fillText(tick.label, box.left - 5, py);
    }
    ctx.stroke();
    ctx.strokeStyle = style.getPropertyValue("--axis").trim();
    ctx.strokeRect(box.left + 0.5, box.top + 0.5, box.right - box.left, box.bottom - box.top);

    ctx.textAlign = "center";
    ctx.textBaseline = "bottom";
    ctx.fillText("time [" + timeAxis.prefix + "s]", (box.left + box.right) / 2, height - 2);
    ctx.textAlign = "left";
    ctx.textBaseline = "bottom";
    ctx.fillText("[" + voltAxis.prefix + "V]", 4, box.top - 4);

    // Traces, kept inside the frame.
    ctx.save();
    ctx.beginPath();
    ctx.rect(box.left, box.top, box.right - box.left, box.bottom - box.top);
    ctx.clip();
    ctx.lineWidth = 2;
    ctx.lineJoin = "round";
    capture.volts.forEach((trace, k) => {
      ctx.strokeStyle = traceColour(capture.channels[k]);
      ctx.beginPath();
      let pen = false;
      for (let i = 0; i < trace.length; ++i) {
        if (!isFinite(trace[i])) {
          pen = false;
          continue;
        }
        if (pen) {
          ctx.lineTo(x(time[i]), y(trace[i]));
        } else {
          ctx.moveTo(x(time[i]), y(trace[i]));
          pen = true;
        }
      }
      ctx.stroke();
    });
    ctx.restore();
  }

  // ---------------------------------------------------------------------
  // Start.

  function start() {
    forgetToken();
    for (const { field } of PER_CHANNEL) {
      const first = $(field + "-0");
      $(field + "-1").dataset.example = first.placeholder;
    }
    $("channels").addEventListener("change", updateChannelFields);
    $("format").addEventListener("change", updateFormatFields);
    $("settings").addEventListener("submit", (event) => {
      event.preventDefault();
      startCapture(false);
    });
    $("series").addEventListener("click", () => startCapture(true));
    $("stop").addEventListener("click", stopCapture);
    let pending = false;
    window.addEventListener("resize", () => {
      if (!pending) {
        pending = true;
        requestAnimationFrame(() => {
          pending = false;
          drawPlot();
        });
      }
    });
    updateChannelFields();
    updateFormatFields();
    render();
    drawPlot();
    refreshStatus();
    refreshFiles();
    follow();
  }

  start();
})();
