// The response plot: an SVG in its own pixels, a log frequency axis from
// 10 Hz to half the rate, gain in dB, the curves and the handles.
import { makeScale, hzToX, dbToY, dbToYBeyond, frequencyTicks, formatHz, dbTicks } from "./scale.js";
import { gainToDb } from "./layout.js";

const ns = "http://www.w3.org/2000/svg";
export const margin = { left: 44, right: 12, top: 10, bottom: 26 };

// A new SVG element with these attributes, appended to parent if given.
export function el(name, attrs, parent)
{
	const e = document.createElementNS(ns, name);
	for (const [k, v] of Object.entries(attrs))
		e.setAttribute(k, v);
	if (parent)
		parent.appendChild(e);
	return e;
}

// The plot's elements, drawn back to front. The curves are clipped to the
// axes: what lies beyond them is cut off, never drawn on an edge.
export function makePlot(svg)
{
	const plot = { svg, scale: null, width: 0, height: 0 };
	plot.grid = el("g", { class: "grid" }, svg);
	const clip = el("clipPath", { id: "plot-area" }, el("defs", {}, svg));
	plot.area = el("rect", {}, clip);
	const curves = el("g", { "clip-path": "url(#plot-area)" }, svg);
	plot.others = el("g", { class: "others" }, curves);
	plot.bandCurves = el("g", { class: "band-curves" }, curves);
	plot.measured = el("path", { class: "curve measured" }, curves);
	plot.target = el("path", { class: "curve target" }, curves);
	plot.predicted = el("path", { class: "curve predicted" }, curves);
	plot.achieved = el("path", { class: "curve achieved", id: "achieved" }, curves);
	plot.requested = el("path", { class: "curve requested", id: "requested" }, curves);
	plot.handles = el("g", { class: "handles" }, svg);
	plot.bandHandles = el("g", { class: "band-handles" }, svg);
	return plot;
}

// Sizes the plot to its element and draws the axes for rate Hz and the
// given dB range.
export function frame(plot, rate, top, bottom)
{
	const box = plot.svg.getBoundingClientRect();
	plot.width = Math.max(200, Math.round(box.width));
	plot.height = Math.max(150, Math.round(box.height));
	plot.svg.setAttribute("viewBox", `0 0 ${plot.width} ${plot.height}`);
	const fmax = rate / 2;
	plot.scale = makeScale(10, fmax, margin.left, plot.width - margin.right, top, bottom,
	                       margin.top, plot.height - margin.bottom);
	const s = plot.scale;
	for (const [k, v] of Object.entries({ x: s.x0, y: s.y0, width: s.x1 - s.x0, height: s.y1 - s.y0 }))
		plot.area.setAttribute(k, v);
	plot.grid.replaceChildren();
	for (const f of frequencyTicks(s.fmin, fmax)) {
		const x = hzToX(s, f).toFixed(1);
		el("line", { x1: x, x2: x, y1: s.y0, y2: s.y1 }, plot.grid);
		el("text", { x, y: s.y1 + 16, class: "xlabel" }, plot.grid).textContent = formatHz(f);
	}
	const step = top - bottom > 36 ? 12 : 6;
	for (const d of dbTicks(bottom, top, step)) {
		const y = dbToY(s, d).toFixed(1);
		el("line", { x1: s.x0, x2: s.x1, y1: y, y2: y, class: d === 0 ? "zero" : "" }, plot.grid);
		el("text", { x: s.x0 - 6, y: Number(y) + 4, class: "ylabel" }, plot.grid).textContent =
		        `${d > 0 ? "+" : ""}${d}`;
	}
	el("text", { x: s.x0 - 6, y: s.y1 + 16, class: "ylabel" }, plot.grid).textContent = "dB";
	el("rect", { x: s.x0, y: s.y0, width: s.x1 - s.x0, height: s.y1 - s.y0, class: "border" },
	   plot.grid);
}

// Path data for [hz, dB] pairs; null dB values break the line. Points
// beyond the frequency axis are left out; gains beyond the dB axis go
// beyond its edges.
export function pathData(s, pairs)
{
	let d = "";
	let pen = false;
	for (const [hz, db] of pairs) {
		if (db === null || hz < s.fmin || hz > s.fmax) {
			pen = false;
			continue;
		}
		d += `${pen ? "L" : "M"}${hzToX(s, hz).toFixed(1)} ${dbToYBeyond(s, db).toFixed(1)}`;
		pen = true;
	}
	return d;
}

export function drawCurve(plot, path, pairs)
{
	path.setAttribute("d", pairs === null ? "" : pathData(plot.scale, pairs));
}

// The requested curve of other channels, faint.
export function drawOthers(plot, curves)
{
	const have = plot.others.children;
	while (have.length > curves.length)
		have[have.length - 1].remove();
	while (have.length < curves.length)
		el("path", { class: "curve other" }, plot.others);
	curves.forEach((pairs, i) => {
		const d = pathData(plot.scale, pairs);
		if (have[i].getAttribute("d") !== d)
			have[i].setAttribute("d", d);
	});
}

// One focusable circle a breakpoint, holding its values for scripts. A
// breakpoint beyond the axes sits on the edge it is beyond; it is marked as
// such when the axis cannot show it (a gain of 0, more than the dB axis
// spans, above half the rate); below 10 Hz the gain is flat anyway.
export function drawHandles(plot, points, active)
{
	const s = plot.scale;
	const have = plot.handles.children;
	while (have.length > points.length)
		have[have.length - 1].remove();
	while (have.length < points.length)
		el("circle", { class: "breakpoint", r: 7, tabindex: 0, role: "slider" }, plot.handles);
	points.forEach((p, i) => {
		const c = have[i];
		const db = gainToDb(p.gain);
		const hz = Math.min(Math.max(p.hz, s.fmin), s.fmax);
		c.setAttribute("cx", hzToX(s, hz).toFixed(1));
		c.setAttribute("cy", dbToY(s, db).toFixed(1));
		c.setAttribute("data-index", i);
		c.setAttribute("data-hz", p.hz);
		c.setAttribute("data-db", Number.isFinite(db) ? db.toFixed(2) : "-inf");
		c.setAttribute("aria-label", `breakpoint ${i + 1}: ${p.hz} Hz, ${
		        Number.isFinite(db) ? db.toFixed(1) : "minus infinity"} dB`);
		c.classList.toggle("active", i === active);
		c.classList.toggle("beyond", !(db >= s.dbBottom && db <= s.dbTop && p.hz <= s.fmax));
	});
}
