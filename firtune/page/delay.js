// The second view of the achieved design: its group delay in ms on the
// plot's frequency axis, and the impulse around its peak, both from
// firtune's design answer.
import { hzToX, frequencyTicks, formatHz } from "./scale.js";
import { $, state } from "./state.js";
import { el } from "./plot.js";

// A round step for an axis spanning span.
function step(span)
{
	const raw = span / 5;
	const p = Math.pow(10, Math.floor(Math.log10(raw)));
	return [1, 2, 5, 10].map((m) => m * p).find((s) => s >= raw);
}

// One panel: x by the given function, values on a linear y axis.
function panel(svg, box, xs, ys, xOf, xTicks, label, id)
{
	const finite = ys.filter((v) => v !== null && Number.isFinite(v));
	let lo = Math.min(...finite, 0), hi = Math.max(...finite, 0);
	if (!(hi > lo))
		hi = lo + 1;
	const pad = (hi - lo) * 0.08;
	lo -= pad, hi += pad;
	const yOf = (v) => box.y1 - (v - lo) / (hi - lo) * (box.y1 - box.y0);
	const g = el("g", { class: "grid" }, svg);
	for (const [x, text] of xTicks) {
		el("line", { x1: x, x2: x, y1: box.y0, y2: box.y1 }, g);
		el("text", { x, y: box.y1 + 14, class: "xlabel" }, g).textContent = text;
	}
	const s = step(hi - lo);
	for (let v = Math.ceil(lo / s) * s; v <= hi; v += s) {
		const y = yOf(v).toFixed(1);
		el("line", { x1: box.x0, x2: box.x1, y1: y, y2: y, class: Math.abs(v) < s / 2 ? "zero" : "" }, g);
		el("text", { x: box.x0 - 6, y: Number(y) + 4, class: "ylabel" }, g).textContent = `${Number(v.toPrecision(4))}`;
	}
	el("text", { x: box.x1 - 6, y: box.y0 + 14, class: "panel-label" }, g).textContent = label;
	el("rect", { x: box.x0, y: box.y0, width: box.x1 - box.x0, height: box.y1 - box.y0, class: "border" }, g);
	let d = "", pen = false;
	xs.forEach((x, i) => {
		const v = ys[i];
		if (v === null || !Number.isFinite(v) || x === null) {
			pen = false;
			return;
		}
		d += `${pen ? "L" : "M"}${xOf(x).toFixed(1)} ${yOf(v).toFixed(1)}`;
		pen = true;
	});
	el("path", { d, class: "curve achieved", id }, svg);
}

// Draws both panels for the design shown; empty without one.
export function drawDelay()
{
	const svg = $("delay-plot");
	const d = state.design;
	const shown = $("view-delay").checked && d !== null && Array.isArray(d.group_delay_ms);
	if (!shown && svg.childElementCount === 0)
		return;
	svg.replaceChildren();
	if (!shown)
		return;
	const box = svg.getBoundingClientRect();
	const width = Math.max(300, Math.round(box.width)), height = Math.max(200, Math.round(box.height));
	svg.setAttribute("viewBox", `0 0 ${width} ${height}`);
	const s = state.plot.scale; // the response plot's frequency axis
	const left = s.x0, right = width - 12, mid = Math.round(height * 0.55);
	const xTicks = frequencyTicks(s.fmin, s.fmax).map((f) => [hzToX(s, f).toFixed(1), formatHz(f)]);
	panel(svg, { x0: left, x1: right, y0: 8, y1: mid - 22 }, d.frequency_hz, d.group_delay_ms,
	      (f) => hzToX(s, Math.min(Math.max(f, s.fmin), s.fmax)), xTicks, "group delay, ms", "group-delay");
	const imp = d.impulse;
	if (!imp || !Array.isArray(imp.taps))
		return;
	const ms = imp.taps.map((_, i) => (imp.start + i) * 1000 / state.rate);
	const t0 = ms[0], t1 = ms[ms.length - 1] || t0 + 1;
	const xOf = (t) => left + (t - t0) / (t1 - t0 || 1) * (right - left);
	const ticks = [];
	const st = step(t1 - t0 || 1);
	for (let t = Math.ceil(t0 / st) * st; t <= t1; t += st)
		ticks.push([xOf(t).toFixed(1), `${Number(t.toPrecision(4))} ms`]);
	panel(svg, { x0: left, x1: right, y0: mid + 4, y1: height - 22 }, ms, imp.taps, xOf, ticks,
	      `impulse around its peak (tap ${imp.peak})`, "impulse");
}
