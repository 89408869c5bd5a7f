"use strict";
// Small SVG charts for the dashboard: lines, points and grouped bars over a numeric x axis, with
// dashed vertical marks (the spot, max pain, breakevens). Everything is built with DOM calls, so
// no text from the data is ever parsed as markup.
const Charts = (() => {
  const SVG = "http://www.w3.org/2000/svg";
  const MARGIN = { left: 58, right: 12, top: 22, bottom: 26 };

  function element(name, attributes, parent) {
    const node = document.createElementNS(SVG, name);
    for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, value);
    if (parent) parent.appendChild(node);
    return node;
  }

  // About `count` round values covering [low, high].
  function ticks(low, high, count) {
    if (!(high > low)) return [low];
    const raw = (high - low) / count;
    const power = Math.pow(10, Math.floor(Math.log10(raw)));
    const step = [1, 2, 2.5, 5, 10].map((f) => f * power).find((s) => s >= raw);
    const values = [];
    for (let v = Math.ceil(low / step) * step; v <= high + step * 1e-9; v += step) {
      values.push(Math.abs(v) < step * 1e-9 ? 0 : v);
    }
    return values;
  }

  // A tick's text with as many decimals as the step between ticks needs.
  function tickText(value, step) {
    const size = Math.abs(value);
    const [scale, suffix] = size >= 1e6 && step >= 1e5 ? [1e6, "M"] : size >= 1e4 && step >= 100 ? [1e3, "k"] : [1, ""];
    const decimals = Math.min(8, Math.max(0, -Math.floor(Math.log10(step / scale) + 1e-9)));
    return (value / scale).toFixed(decimals) + suffix;
  }

  function stepOf(values) {
    return values.length > 1 ? values[1] - values[0] : Math.abs(values[0]) || 1;
  }

  function range(values, withZero) {
    let low = Infinity;
    let high = -Infinity;
    for (const v of values) {
      if (v === null || !Number.isFinite(v)) continue;
      if (v < low) low = v;
      if (v > high) high = v;
    }
    if (withZero) {
      low = Math.min(low, 0);
      high = Math.max(high, 0);
    }
    if (!Number.isFinite(low)) return [0, 1];
    if (low === high) return [low - 1, high + 1];
    const pad = (high - low) * 0.04;
    return [low - (withZero && low === 0 ? 0 : pad), high + (withZero && high === 0 ? 0 : pad)];
  }

  // chart: {series: [{label, color, x, y, kind: "line" | "points" | "bars", hollow, dash}],
  //         marks: [{x, label, color}], xText: value -> text, zeroLine}
  function draw(svg, chart) {
    svg.replaceChildren();
    const width = svg.clientWidth || 480;
    const height = svg.clientHeight || 250;
    svg.setAttribute("viewBox", `0 0 ${width} ${height}`);
    const xs = chart.series.flatMap((s) => s.x).concat((chart.marks || []).map((m) => m.x));
    const ys = chart.series.flatMap((s) => s.y);
    const hasBars = chart.series.some((s) => s.kind === "bars");
    const [x0, x1] = range(xs, false);
    const [y0, y1] = range(ys, hasBars || chart.zeroLine);
    const plotWidth = width - MARGIN.left - MARGIN.right;
    const plotHeight = height - MARGIN.top - MARGIN.bottom;
    const px = (x) => MARGIN.left + ((x - x0) / (x1 - x0)) * plotWidth;
    const py = (y) => MARGIN.top + (1 - (y - y0) / (y1 - y0)) * plotHeight;

    const yTicks = ticks(y0, y1, 5);
    for (const y of yTicks) {
      element("line", { class: "grid", x1: MARGIN.left, x2: width - MARGIN.right, y1: py(y), y2: py(y) }, svg);
      const label = element("text", { x: MARGIN.left - 6, y: py(y) + 4, "text-anchor": "end" }, svg);
      label.textContent = tickText(y, stepOf(yTicks));
    }
    let xTicks = ticks(x0, x1, Math.max(2, Math.floor(plotWidth / 90)));
    // Categories (times of day) are labelled at whole positions only.
    if (chart.xText) xTicks = xTicks.filter((x) => Math.abs(x - Math.round(x)) < 1e-9);
    for (const x of xTicks) {
      const label = element("text", { x: px(x), y: height - 8, "text-anchor": "middle" }, svg);
      label.textContent = chart.xText ? chart.xText(x) : tickText(x, stepOf(xTicks));
    }
    element("line", { class: "axis", x1: MARGIN.left, x2: MARGIN.left, y1: MARGIN.top, y2: height - MARGIN.bottom }, svg);
    const base = y0 <= 0 && y1 >= 0 ? py(0) : height - MARGIN.bottom;
    element("line", { class: "axis", x1: MARGIN.left, x2: width - MARGIN.right, y1: base, y2: base }, svg);

    const bars = chart.series.filter((s) => s.kind === "bars");
    chart.series.forEach((series) => {
      const group = element("g", { "data-series": series.label }, svg);
      if (series.kind === "bars") drawBars(group, series, bars, px, py, base, plotWidth);
      else drawLine(group, series, px, py);
    });
    (chart.marks || []).forEach((mark, i) => {
      if (!Number.isFinite(mark.x) || mark.x < x0 || mark.x > x1) return;
      element("line", { class: "mark", x1: px(mark.x), x2: px(mark.x), y1: MARGIN.top, y2: height - MARGIN.bottom, stroke: mark.color }, svg);
      // Each mark's label a line lower than the one before, so that close marks stay legible.
      const label = element("text", { x: px(mark.x) + 3, y: MARGIN.top + 10 + 12 * (i % 3) }, svg);
      label.textContent = mark.label;
    });
    drawLegend(svg, chart.series);
  }

  function drawLine(group, series, px, py) {
    let path = "";
    let open = false;
    series.x.forEach((x, i) => {
      const y = series.y[i];
      if (y === null || !Number.isFinite(y)) {
        open = false;
        return;
      }
      path += `${open ? "L" : "M"}${px(x).toFixed(1)} ${py(y).toFixed(1)}`;
      open = true;
    });
    if (series.kind !== "points" && path) {
      const line = element("path", { d: path, fill: "none", stroke: series.color, "stroke-width": 1.6 }, group);
      if (series.dash) line.setAttribute("stroke-dasharray", series.dash);
    }
    if (series.kind === "points" || series.hollow) {
      series.x.forEach((x, i) => {
        const y = series.y[i];
        if (y === null || !Number.isFinite(y)) return;
        const hollow = series.hollow && series.hollow[i];
        element("circle", {
          cx: px(x).toFixed(1), cy: py(y).toFixed(1), r: 2.6, stroke: series.color,
          fill: hollow ? "#ffffff" : series.color, class: hollow ? "hollow" : "filled",
        }, group);
      });
    }
  }

  function drawBars(group, series, bars, px, py, base, plotWidth) {
    const count = Math.max(1, series.x.length);
    const slot = Math.max(1, (plotWidth / count) * 0.8);
    const width = slot / bars.length;
    const offset = bars.indexOf(series) * width - slot / 2;
    series.x.forEach((x, i) => {
      const y = series.y[i];
      if (y === null || !Number.isFinite(y) || y === 0) return;
      const top = Math.min(py(y), base);
      element("rect", {
        x: (px(x) + offset).toFixed(1), y: top.toFixed(1), width: width.toFixed(2),
        height: Math.abs(py(y) - base).toFixed(1), fill: series.color,
        "fill-opacity": series.opacity || 1,
      }, group);
    });
  }

  function drawLegend(svg, series) {
    let x = MARGIN.left;
    for (const s of series) {
      element("rect", { x, y: 6, width: 10, height: 10, fill: s.color, "fill-opacity": s.opacity || 1 }, svg);
      const label = element("text", { x: x + 14, y: 15 }, svg);
      label.textContent = s.label;
      x += 22 + s.label.length * 6.2;
    }
  }

  return { draw };
})();
