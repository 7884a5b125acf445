// Drawing the editor from the state: the plot's curves and axis, the
// design summary, the table of breakpoints and the layout text.
import { gainAt, gainToDb, requestedCurve, curveAt } from "./layout.js";
import { dbRange } from "./scale.js";
import { frame, drawCurve, drawOthers, drawHandles } from "./plot.js";
import { $, state, current, layoutText, actionChannels, isBands, setText } from "./state.js";
import { drawBands, drawBandTable, bandValues } from "./bandedit.js";
import { bandCurves } from "./bands.js";
import { drawPreamp } from "./preamp.js";
import { drawPhase } from "./phase.js";
import { drawDelay } from "./delay.js";

// The dB axis is the shown channel's own: its breakpoints and achieved
// curve set it, never another channel's layout or a measurement.
export function rescale()
{
	const values = [];
	for (const p of state.layouts[current()].points)
		values.push(gainToDb(p.gain));
	values.push(...bandValues());
	if (state.design !== null)
		for (const v of state.design.achieved_db)
			values.push(v === null ? -Infinity : v);
	const range = dbRange(values);
	// Widen at once, narrow only when the whole range changes, so the axis
	// does not jump while dragging.
	if (state.drag !== null)
		range.top = Math.max(range.top, state.range.top), range.bottom = Math.min(range.bottom, state.range.bottom);
	state.range = range;
	frame(state.plot, state.rate, range.top, range.bottom);
}

function dbCurve(layout)
{
	if (Array.isArray(layout.bands))
		return bandCurves(layout, state.rate).sum;
	return requestedCurve(layout.points, 10, state.rate / 2).map(([f, g]) => [f, gainToDb(g)]);
}

// The requested curve: a layout's breakpoints joined, or the sum of the
// bands and the preamp, each band's own curve faint beneath.
export function drawRequested()
{
	const c = current();
	const sum = drawBands();
	drawCurve(state.plot, state.plot.requested, sum ?? dbCurve(state.layouts[c]));
	// A channel linked to the one shown lies under its curve: only those
	// that differ are drawn.
	const others = [];
	const own = layoutText(c);
	state.layouts.forEach((layout, i) => {
		if (i !== c && layoutText(i) !== own)
			others.push(dbCurve(layout));
	});
	drawOthers(state.plot, others);
	drawHandles(state.plot, isBands(c) ? [] : state.layouts[c].points, state.active);
}

// A normalized layout's design is scaled by one factor: the requested and
// achieved curves of the answer are that many dB away from the layout's own
// gains. Returns the factor in dB (0 when not normalized).
function normalization(d, layout)
{
	if (d === null || !layout.normalize)
		return 0;
	for (const [k, f] of d.frequency_hz.entries()) {
		const own = gainToDb(gainAt(layout.points, f));
		if (d.requested_db[k] !== null && Number.isFinite(own))
			return d.requested_db[k] - own;
	}
	return 0;
}

export function drawAchieved()
{
	const d = state.design;
	const shift = normalization(d, state.layouts[current()]);
	$("scale-note").textContent = shift === 0 ? "" :
	        `normalized: the filter's gain is ${shift.toFixed(2)} dB from what is drawn here`;
	const pairs = d === null ? null : d.frequency_hz.map((f, k) =>
	        [f, d.achieved_db[k] === null ? null : d.achieved_db[k] - shift]);
	drawCurve(state.plot, state.plot.achieved, pairs);
	state.plot.achieved.classList.toggle("stale", state.designFailed);
	const m = state.measurements[current()];
	const show = (id, on) => $(id).classList.toggle("hidden", !on);
	const level = m ? measurementLevel(m) : 0;
	$("measurement-note").textContent = m ? `measured, target and predicted: shifted by ${level > 0 ? "−" : "+"}${
	        Math.abs(level).toFixed(1)} dB, so that the measurement's 200 Hz–2 kHz average sits at 0 dB` : "";
	show("key-measured", !!m);
	show("key-target", !!m);
	show("key-predicted", !!m && d !== null);
	if (!m) {
		for (const p of [state.plot.measured, state.plot.target, state.plot.predicted])
			drawCurve(state.plot, p, null);
		return;
	}
	const shifted = (v) => (v === null ? null : v - level);
	drawCurve(state.plot, state.plot.measured, m.frequency_hz.map((f, k) => [f, shifted(m.measured_db[k])]));
	drawCurve(state.plot, state.plot.target, m.frequency_hz.map((f, k) => [f, shifted(m.target_db[k])]));
	if (d !== null) {
		const predicted = m.frequency_hz.map((f, k) => {
			const a = curveAt(d.frequency_hz, d.achieved_db, f);
			return [f, a === null || m.measured_db[k] === null ? null : shifted(m.measured_db[k] + a)];
		});
		drawCurve(state.plot, state.plot.predicted, predicted);
	}
}

// A measurement's level: its mean dB from 200 Hz to 2 kHz (all of it when
// it has nothing there).
export function measurementLevel(m)
{
	let sum = 0, n = 0, all = 0, count = 0;
	m.frequency_hz.forEach((f, k) => {
		const v = m.measured_db[k];
		if (v === null || !Number.isFinite(v))
			return;
		all += v, count++;
		if (f >= 200 && f <= 2000)
			sum += v, n++;
	});
	return n > 0 ? sum / n : count > 0 ? all / count : 0;
}

export function drawSummary()
{
	const d = state.design;
	// The advice lines stand apart, below the figures.
	drawPreamp();
	drawPhase();
	drawDelay();
	setText($("summary"), d === null ? "" :
	        d.summary.text.split("\n").filter((l) => !l.startsWith("advice:")).join("\n"));
	const advice = $("advice");
	const lines = d === null ? [] : d.summary.advice;
	if ([...advice.children].map((li) => li.textContent).join("\n") === lines.join("\n") &&
	    advice.children.length === lines.length)
		return;
	advice.replaceChildren();
	if (d !== null)
		for (const line of d.summary.advice) {
			const li = document.createElement("li");
			li.textContent = line;
			advice.appendChild(li);
		}
}

function formatDb(gain)
{
	const db = gainToDb(gain);
	return Number.isFinite(db) ? db.toFixed(2) : "-inf";
}

// The table of breakpoints, rows reused; a cell being typed in is left alone.
export function drawTable()
{
	drawBandTable();
	const body = document.querySelector("#points tbody");
	const points = state.layouts[current()].points;
	while (body.rows.length > points.length)
		body.deleteRow(-1);
	while (body.rows.length < points.length) {
		const row = body.insertRow();
		for (const field of ["hz", "db", "gain"]) {
			const input = document.createElement("input");
			input.dataset.field = field;
			input.inputMode = "decimal";
			input.setAttribute("aria-label", field === "hz" ? "Hz" : field);
			row.insertCell().appendChild(input);
		}
		const remove = document.createElement("button");
		remove.type = "button";
		remove.textContent = "×";
		remove.className = "remove";
		row.insertCell().appendChild(remove);
	}
	points.forEach((p, i) => {
		const row = body.rows[i];
		row.dataset.index = i;
		row.classList.toggle("active", i === state.active);
		row.classList.toggle("refused", i === state.refusedRow && !isBands(current()));
		const values = { hz: `${p.hz}`, db: formatDb(p.gain), gain: `${p.gain}` };
		const refused = state.inputError !== null && state.inputError.row === i ? state.inputError.field : null;
		for (const input of row.querySelectorAll("input"))
			if (input !== document.activeElement && input.dataset.field !== refused) {
				input.value = values[input.dataset.field];
				input.removeAttribute("aria-invalid");
			}
		row.querySelector("button").setAttribute("aria-label", `remove breakpoint ${i + 1}`);
	});
	const text = $("layout-text");
	const refused = state.inputError !== null && state.inputError.line !== undefined;
	if (text !== document.activeElement && !refused) {
		text.value = layoutText(current());
		text.removeAttribute("aria-invalid");
	}
	$("normalize").checked = state.layouts[current()].normalize;
	$("normalize").disabled = isBands(current());
	$("layout-text-label").textContent = isBands(current()) ? "Bands (Equalizer APO)" : "Layout";
	$("add").textContent = isBands(current()) ? "Add band" : "Add point";
	$("remove").textContent = isBands(current()) ? "Remove band" : "Remove point";
	$("layout-warning").textContent = state.warnings[current()].join("; ");
}

// What each channel of the device holds, as far as this page knows.
export function channelState(c)
{
	const d = state.device[c];
	if (d.kind === "loaded")
		return d.text !== layoutText(c) ? "edited since load" : d.live ? "live" : "loaded";
	return { unknown: "unknown", bypassed: "bypassed", off: "off" }[d.kind];
}

export function drawDevice()
{
	const list = $("channel-state");
	while (list.children.length > state.channels)
		list.lastChild.remove();
	while (list.children.length < state.channels)
		list.appendChild(document.createElement("li"));
	const acting = new Set(actionChannels());
	[...list.children].forEach((li, c) => {
		const what = channelState(c);
		setText(li, `channel ${c}: ${what === "unknown" ? "unknown (not written from this page)" : what}`);
		if (li.dataset.state !== what)
			li.dataset.state = what;
		li.classList.toggle("acting", acting.has(c));
	});
	// EQ while any channel the buttons act on is flat, so that no channel
	// already bypassed reads as one to bypass.
	const flat = [...acting].filter((c) => state.device[c].kind === "bypassed");
	setText($("bypass"), flat.length > 0 ? "EQ" : "Bypass");
	$("bypass").setAttribute("aria-pressed", flat.length > 0);
	$("bypass").title = flat.length > 0 ? "load what is on screen again (B)" : "load a flat filter with the same delay (B)";
}

export function drawAll()
{
	rescale();
	drawRequested();
	drawAchieved();
	drawSummary();
	drawTable();
	drawDevice();
}
