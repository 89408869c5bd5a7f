"use strict";
// The dashboard page: one event stream per underlying, each message the whole refresh; the
// selected expiry is drawn from the last message, so switching expiry needs no fetch.
(() => {
  const ALL = "all";
  // The sides' colours are the style sheet's, so that the table and the charts agree.
  const style = getComputedStyle(document.documentElement);
  const CALL = style.getPropertyValue("--call").trim();
  const PUT = style.getPropertyValue("--put").trim();
  const body = document.body;
  const byId = (id) => document.getElementById(id);
  const symbols = body.dataset.symbols.split(" ").filter(Boolean);
  let symbol = body.dataset.symbol;
  let wantedExpiry = body.dataset.expiry || null;
  let latest = null;
  let source = null;
  let shownExpiry = null;

  function cellRow(tag, texts, classes) {
    const row = document.createElement("tr");
    texts.forEach((text, i) => {
      const cell = document.createElement(tag);
      cell.textContent = text;
      if (classes && classes[i]) cell.className = classes[i];
      row.appendChild(cell);
    });
    return row;
  }

  function listItems(lines) {
    return lines.map((line) => {
      const item = document.createElement("li");
      item.textContent = line;
      return item;
    });
  }

  // Shows the section `name` when its part arrived, with the part's error in place of its content;
  // true when there is content to draw.
  function sectionShown(name, part, failurePrefix) {
    byId(name).hidden = !part;
    if (!part) return false;
    const error = byId(`${name}-error`);
    error.hidden = !part.error;
    error.textContent = part.error ? `${failurePrefix}${part.error}` : "";
    return !part.error;
  }

  function setText(id, text) {
    const node = byId(id);
    if (node.textContent !== text) node.textContent = text;
  }

  // ---- the stream

  function connect() {
    if (source) source.close();
    setConnection("connecting", "connecting");
    source = new EventSource(`/events?symbol=${encodeURIComponent(symbol)}`);
    source.onopen = () => setConnection("live", "live");
    source.onmessage = (event) => apply(JSON.parse(event.data));
    source.onerror = () => {
      setConnection("connecting", "reconnecting");
      // The browser retries by itself; should it give up, start again.
      if (source.readyState === EventSource.CLOSED) setTimeout(connect, 2000);
    };
  }

  function setConnection(state, text) {
    const node = byId("connection");
    node.className = state;
    node.textContent = text;
  }

  function apply(message) {
    if (message.symbol !== symbol) return;
    const started = performance.now();
    latest = message;
    render();
    body.dataset.applyMs = (performance.now() - started).toFixed(2);
    body.dataset.refresh = String(message.refresh);
  }

  // ---- what is drawn

  function render() {
    const message = latest;
    setText("refresh", `#${message.refresh} at ${message.refreshed.slice(11, 19)}`);
    const banner = byId("banner");
    if (message.error) {
      const kept = message.data ? ` Showing the last good data, of ${message.data.captured_text}.` : "";
      banner.textContent = `The last refresh failed: ${message.error}.${kept}`;
      banner.hidden = false;
    } else {
      banner.hidden = true;
    }
    const data = message.data;
    if (!data) return;
    setText("spot", data.spot_text);
    setText("captured", data.captured_text);
    updateAge();
    fillExpiries(data);
    const chosen = chosenExpiries(data);
    renderSummary(data, chosen);
    renderTable(data, chosen);
    renderCharts(data, chosen[0]);
    renderPosition(data.position);
    renderHistory(data.history);
    renderAlerts(data.alerts);
  }

  // The alerts holding at this refresh (those the server was started with), else nothing.
  function renderAlerts(alerts) {
    const shown = byId("alerts");
    shown.hidden = !(alerts && alerts.length);
    shown.textContent = shown.hidden ? "" : `Alert: ${alerts.join("; ")}`;
  }

  function fillSymbols() {
    const select = byId("symbol");
    for (const name of symbols) select.appendChild(new Option(name, name, false, name === symbol));
    select.addEventListener("change", () => {
      symbol = select.value;
      wantedExpiry = null;
      latest = null;
      shownExpiry = null;
      remember();
      connect();
    });
  }

  function fillExpiries(data) {
    const select = byId("expiry");
    const listed = data.expiries.map((part) => part.expiry).concat([ALL]);
    if (!listed.includes(wantedExpiry)) {
      const running = data.expiries.find((part) => parseFloat(part.days_text) > 0);
      wantedExpiry = (running || data.expiries[0]).expiry;
    }
    const present = Array.from(select.options, (option) => option.value);
    if (present.join() !== listed.join()) {
      select.replaceChildren(...data.expiries.map((part) => new Option(part.label, part.expiry)),
        new Option(`all ${data.expiries.length} expiries`, ALL));
    }
    select.value = wantedExpiry;
  }

  function chosenExpiries(data) {
    if (wantedExpiry === ALL) return data.expiries;
    return data.expiries.filter((part) => part.expiry === wantedExpiry);
  }

  function renderSummary(data, chosen) {
    const part = chosen[0];
    const single = chosen.length === 1;
    setText("days", single ? part.days_text : "-");
    setText("pcr", single && part.pcr !== null ? part.pcr.toFixed(2) : "-");
    setText("max-pain", single && part.max_pain !== null ? String(part.max_pain) : "-");
    byId("notes").replaceChildren(...listItems(data.notes));
  }

  // The table's rows as plain values: [row class, texts, cell classes], an expiry's heading
  // row first when several expiries are shown.
  function tableRows(data, chosen) {
    const rows = [];
    for (const part of chosen) {
      if (chosen.length > 1) rows.push(["expiry-row", [`${part.label}  (${part.days_text} days)`], [""]]);
      part.strikes.forEach((strike, i) => {
        const calls = part.call.cells[i].slice().reverse();
        const puts = part.put.cells[i];
        const callInMoney = strike < data.spot;
        const classes = [
          ...calls.map((text) => (callInMoney ? "itm" : "") + (text.endsWith(data.solved_mark) ? " solved" : "")),
          "strike",
          ...puts.map((text) => (callInMoney ? "" : "itm") + (text.endsWith(data.solved_mark) ? " solved" : "")),
        ];
        rows.push([strike === part.nearest ? "nearest" : "", [...calls, part.strike_texts[i], ...puts], classes]);
      });
    }
    return rows;
  }

  function newRow([rowClass, texts, classes], width) {
    if (rowClass === "expiry-row") {
      const row = cellRow("th", texts);
      row.className = rowClass;
      row.cells[0].colSpan = 2 * width + 1;
      return row;
    }
    const row = cellRow("td", texts, classes);
    row.className = rowClass;
    return row;
  }

  // Rows already on the page are changed in place where the layout is the same, so that a
  // refresh of every leg touches only the cells whose text moved.
  function renderTable(data, chosen) {
    const headings = byId("headings");
    const width = data.columns.length;
    if (!headings.childElementCount) {
      const names = data.columns;
      byId("calls-heading").colSpan = width;
      byId("puts-heading").colSpan = width;
      headings.replaceChildren(...cellRow("th", [...names.slice().reverse(), "strike", ...names]).childNodes);
    }
    const body = byId("rows");
    const rows = tableRows(data, chosen);
    const layout = `${symbol} ${chosen.map((part) => `${part.expiry}:${part.strikes.length}`).join(",")}`;
    if (layout === body.dataset.layout) {
      rows.forEach(([rowClass, texts, classes], r) => {
        const row = body.rows[r];
        if (row.className !== rowClass) row.className = rowClass;
        texts.forEach((text, c) => {
          const cell = row.cells[c];
          if (cell.textContent !== text) cell.textContent = text;
          if (rowClass !== "expiry-row" && cell.className !== classes[c]) cell.className = classes[c];
        });
      });
    } else {
      const fragment = document.createDocumentFragment();
      for (const row of rows) fragment.appendChild(newRow(row, width));
      body.replaceChildren(fragment);
      body.dataset.layout = layout;
    }
    const key = `${symbol} ${wantedExpiry}`;
    const nearestRow = body.querySelector("tr.nearest");
    if (nearestRow && shownExpiry !== key) {
      const scroller = byId("table-scroll");
      scroller.scrollTop = Math.max(0, nearestRow.offsetTop - scroller.clientHeight / 2);
      shownExpiry = key;
    }
  }

  // A column of the table's texts as numbers ("12.34*" is 12.34; "" and "-" are none).
  function printed(cells, index) {
    return cells.map((row) => {
      const value = parseFloat(row[index]);
      return Number.isFinite(value) ? value : null;
    });
  }

  function renderCharts(data, part) {
    const column = (name) => data.columns.indexOf(name);
    const marks = [{ x: data.spot, label: "spot", color: "#555" }];
    const pair = (name, options) => ({
      series: [
        { label: "calls", color: CALL, x: part.strikes, y: printed(part.call.cells, column(name)), kind: "line", ...options },
        { label: "puts", color: PUT, x: part.strikes, y: printed(part.put.cells, column(name)), kind: "line", ...options },
      ],
      marks,
    });
    Charts.draw(byId("chart-delta"), pair("delta"));
    Charts.draw(byId("chart-gamma"), pair("gamma"));
    Charts.draw(byId("chart-theta"), pair("theta"));
    Charts.draw(byId("chart-vega"), pair("vega"));
    // One curve: each strike's volatility from the side out of the money (greeks.smile).
    Charts.draw(byId("chart-smile"), {
      series: [{ label: "iv % (out of the money)", color: CALL, x: part.smile.strikes, y: part.smile.iv, kind: "line" }],
      marks: part.smile.forward === null ? marks : marks.concat([{ x: part.smile.forward, label: "forward", color: "#8e44ad" }]),
    });
    Charts.draw(byId("chart-oi"), {
      series: [
        { label: "call OI", color: CALL, x: part.strikes, y: part.call.oi, kind: "bars", opacity: 0.85 },
        { label: "put OI", color: PUT, x: part.strikes, y: part.put.oi, kind: "bars", opacity: 0.85 },
        { label: "call change", color: "#74a9d8", x: part.strikes, y: part.call.oi_change, kind: "bars", opacity: 0.9 },
        { label: "put change", color: "#e8968c", x: part.strikes, y: part.put.oi_change, kind: "bars", opacity: 0.9 },
      ],
      marks: marks.concat(part.max_pain !== null ? [{ x: part.max_pain, label: "max pain", color: "#8e44ad" }] : []),
    });
  }

  function renderPosition(position) {
    if (!sectionShown("position", position, "The position could not be valued: ")) return;
    const headings = byId("position-headings");
    headings.replaceChildren(...cellRow("th", position.header).childNodes);
    byId("position-rows").replaceChildren(...position.rows.map((row) => cellRow("td", row)));
    byId("position-notes").replaceChildren(...listItems(position.notes.concat(position.summary)));
    const series = [{ label: "at expiry", color: "#2b8a3e", x: position.spots, y: position.at_expiry, kind: "line" }];
    if (position.at_days) {
      series.push({ label: `T+${position.days}`, color: "#e67700", x: position.spots, y: position.at_days, kind: "line", dash: "5 3" });
    }
    const middle = position.spots[Math.floor(position.spots.length / 2)];
    Charts.draw(byId("chart-payoff"), {
      series,
      zeroLine: true,
      marks: [{ x: middle, label: "spot", color: "#555" }].concat(
        position.breakevens.map((x) => ({ x, label: "breakeven", color: "#999" }))),
    });
  }

  function renderHistory(history) {
    if (!sectionShown("history", history, "Store: ")) return;
    setText("history-day", history.day);
    setText("iv-rank", history.iv_rank === null ? "-" : history.iv_rank.toFixed(1));
    setText("iv-percentile", history.iv_percentile === null ? "-" : history.iv_percentile.toFixed(1));
    const index = history.times.map((_, i) => i);
    const xText = (x) => history.times[Math.round(x)] || "";
    Charts.draw(byId("chart-atm-iv"), { series: [{ label: "ATM IV %", color: "#5f3dc4", x: index, y: history.atm_iv, kind: "line" }], xText });
    Charts.draw(byId("chart-spot"), { series: [{ label: "spot", color: "#343a40", x: index, y: history.spot, kind: "line" }], xText });
  }

  // ---- the age of the data, kept current between refreshes

  function updateAge() {
    if (!latest || !latest.data) return;
    const seconds = Math.round((Date.now() - Date.parse(latest.data.captured)) / 1000);
    setText("age", seconds < 0 ? "captured ahead of this clock (a replay)" : ageText(seconds));
  }

  function ageText(seconds) {
    if (seconds < 120) return `${seconds} s`;
    if (seconds < 7200) return `${Math.floor(seconds / 60)} min`;
    if (seconds < 172800) return `${Math.floor(seconds / 3600)} h ${Math.floor((seconds % 3600) / 60)} min`;
    return `${Math.floor(seconds / 86400)} days`;
  }

  function remember() {
    const query = new URLSearchParams({ symbol });
    if (wantedExpiry) query.set("expiry", wantedExpiry);
    history.replaceState(null, "", `/?${query}`);
  }

  byId("expiry").addEventListener("change", (event) => {
    wantedExpiry = event.target.value;
    remember();
    if (latest) apply(latest);
  });
  fillSymbols();
  setInterval(updateAge, 1000);
  connect();
})();
