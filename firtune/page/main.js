// The page: one editor over the channels' layouts, wired to firtune's API.
import { call, failure, keep, stats } from "./api.js";
import { makeQueue, submit, settle } from "./queue.js";
import { makeHistory, record, undo, redo } from "./history.js";
import {
	parseLayout, formatLayout, gainAt, gainToDb, dbToGain, requestedCurve, roundTo,
	moveBreakpoint, addBreakpoint, removeBreakpoint, setFrequency, curveAt,
} from "./layout.js";
import { xToHz, yToDb, dbRange } from "./scale.js";
import { makePlot, frame, drawCurve, drawOthers, drawHandles } from "./plot.js";

const $ = (id) => document.getElementById(id);

const state = {
	token: "",
	rate: 48000,
	channels: 1,
	canLoad: false,
	layouts: [],      // per channel: { normalize, points }
	loaded: [],       // per channel: the layout text last loaded from this page, or null
	bypassed: [],     // per channel: a flat filter was loaded by Bypass
	measurements: [], // per channel: the imported measurement, or null
	design: null,     // the last design answer shown
	designFailed: false,
	refusedRow: -1,   // the breakpoint of the line the designer refused
	active: -1,       // the breakpoint being dragged or last focused
	drag: null,
	range: { top: 12, bottom: -24 },
};
const queue = makeQueue();
const edits = makeHistory();
// Edits whose achieved curve is not drawn yet: { seq, t0 }.
let waitingEvents = [];
let seq = 0;
// For tests and measurements: design requests in flight, the time from an
// edit to the achieved curve that shows it (ms), the layout whose achieved
// curve is shown.
window.firtune = { stats, latencies: [], frameLatencies: [], ready: false, shown: null };

let plot;

function current()
{
	const v = $("channel").value;
	return v === "all" || v === "" ? 0 : Number(v);
}

// The channels an edit applies to.
function targets()
{
	const v = $("channel").value;
	if (v === "all")
		return [...Array(state.channels).keys()];
	const c = Number(v);
	if ($("link").checked && state.channels >= 2 && (c === 0 || c === 1))
		return [0, 1];
	return [c];
}

function layoutText(c)
{
	return formatLayout(state.layouts[c]);
}

function snapshot()
{
	return JSON.stringify(state.layouts);
}

// Replaces the edited layout on every channel the edit applies to.
function apply(layout)
{
	for (const c of targets())
		state.layouts[c] = { normalize: layout.normalize, points: layout.points.slice() };
}

function setStatus(text)
{
	$("status").textContent = text;
}

// ---- drawing

function rescale()
{
	const values = [];
	for (const layout of state.layouts)
		for (const p of layout.points)
			values.push(gainToDb(p.gain));
	if (state.design !== null)
		for (const v of state.design.achieved_db)
			values.push(v === null ? -Infinity : v);
	const m = state.measurements[current()];
	if (m)
		values.push(...m.measured_db, ...m.target_db);
	const range = dbRange(values);
	// Widen at once, narrow only when the whole range changes, so the axis
	// does not jump while dragging.
	if (state.drag !== null)
		range.top = Math.max(range.top, state.range.top), range.bottom = Math.min(range.bottom, state.range.bottom);
	state.range = range;
	frame(plot, state.rate, range.top, range.bottom);
}

function dbCurve(points)
{
	return requestedCurve(points, 10, state.rate / 2).map(([f, g]) => [f, gainToDb(g)]);
}

function drawRequested()
{
	const c = current();
	drawCurve(plot, plot.requested, dbCurve(state.layouts[c].points));
	const others = [];
	state.layouts.forEach((layout, i) => {
		if (i !== c)
			others.push(dbCurve(layout.points));
	});
	drawOthers(plot, others);
	drawHandles(plot, state.layouts[c].points, state.active);
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

function drawAchieved()
{
	const d = state.design;
	const shift = normalization(d, state.layouts[current()]);
	$("scale-note").textContent = shift === 0 ? "" :
	        `normalized: the filter's gain is ${shift.toFixed(2)} dB from what is drawn here`;
	const pairs = d === null ? null : d.frequency_hz.map((f, k) =>
	        [f, d.achieved_db[k] === null ? null : d.achieved_db[k] - shift]);
	drawCurve(plot, plot.achieved, pairs);
	plot.achieved.classList.toggle("stale", state.designFailed);
	const m = state.measurements[current()];
	const show = (id, on) => $(id).classList.toggle("hidden", !on);
	show("key-measured", !!m);
	show("key-target", !!m);
	show("key-predicted", !!m && d !== null);
	if (!m) {
		for (const p of [plot.measured, plot.target, plot.predicted])
			drawCurve(plot, p, null);
		return;
	}
	drawCurve(plot, plot.measured, m.frequency_hz.map((f, k) => [f, m.measured_db[k]]));
	drawCurve(plot, plot.target, m.frequency_hz.map((f, k) => [f, m.target_db[k]]));
	if (d !== null) {
		const predicted = m.frequency_hz.map((f, k) => {
			const a = curveAt(d.frequency_hz, d.achieved_db, f);
			return [f, a === null || m.measured_db[k] === null ? null : m.measured_db[k] + a];
		});
		drawCurve(plot, plot.predicted, predicted);
	}
}

function drawSummary()
{
	const d = state.design;
	// The advice lines stand apart, below the figures.
	$("summary").textContent = d === null ? "" :
	        d.summary.text.split("\n").filter((l) => !l.startsWith("advice:")).join("\n");
	const advice = $("advice");
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
function drawTable()
{
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
		row.classList.toggle("refused", i === state.refusedRow);
		const values = { hz: `${p.hz}`, db: formatDb(p.gain), gain: `${p.gain}` };
		for (const input of row.querySelectorAll("input"))
			if (input !== document.activeElement) {
				input.value = values[input.dataset.field];
				input.removeAttribute("aria-invalid");
			}
		row.querySelector("button").setAttribute("aria-label", `remove breakpoint ${i + 1}`);
	});
	const text = $("layout-text");
	if (text !== document.activeElement) {
		text.value = layoutText(current());
		text.removeAttribute("aria-invalid");
	}
	$("normalize").checked = state.layouts[current()].normalize;
}

function drawAll()
{
	rescale();
	drawRequested();
	drawAchieved();
	drawSummary();
	drawTable();
	const c = actionChannels();
	$("bypass").textContent = c.every((ch) => state.bypassed[ch]) ? "EQ" : "Bypass";
	$("bypass").setAttribute("aria-pressed", c.every((ch) => state.bypassed[ch]));
}

// ---- designs

// The current channel's layout changed (t0: when the edit's event came).
function edited(t0)
{
	$("layout-error").textContent = "";
	state.refusedRow = -1;
	const edit = { seq: ++seq, text: layoutText(current()) };
	waitingEvents.push({ seq: edit.seq, t0 });
	const now = submit(queue, edit);
	if (now !== null)
		design(now);
}

async function design(edit)
{
	const answer = await call(state.token, "POST", "/api/design", { layout: edit.text });
	if (answer.status === 200 && answer.body !== null) {
		state.design = answer.body;
		state.designFailed = false;
		window.firtune.shown = edit.text;
		setStatus("");
		if (state.drag === null)
			rescale(), drawRequested();
		drawAchieved();
		drawSummary();
		const drawn = performance.now();
		const done = waitingEvents.filter((e) => e.seq <= edit.seq);
		waitingEvents = waitingEvents.filter((e) => e.seq > edit.seq);
		for (const e of done)
			keep(window.firtune.latencies, drawn - e.t0);
		requestAnimationFrame(() => {
			const painted = performance.now();
			for (const e of done)
				keep(window.firtune.frameLatencies, painted - e.t0);
		});
	} else {
		state.designFailed = true;
		drawAchieved();
		const line = answer.body && Number.isInteger(answer.body.line) ? ` (line ${answer.body.line})` : "";
		// One breakpoint a line, after the header of a normalized layout.
		if (line !== "" && edit.text === layoutText(current()))
			state.refusedRow = answer.body.line - 1 - (state.layouts[current()].normalize ? 1 : 0);
		drawTable();
		$("layout-error").textContent = answer.status === 422 ?
		        `The designer refuses this layout${line}: ${failure(answer)}` : `No design: ${failure(answer)}`;
		waitingEvents = waitingEvents.filter((e) => e.seq > edit.seq);
		if (answer.status === 0 || answer.status === 401)
			setStatus(failure(answer));
	}
	const next = settle(queue);
	if (next !== null)
		design(next);
}

// An edit of the current layout as a whole, with undo.
function change(layout, t0 = performance.now())
{
	record(edits, snapshot());
	apply(layout);
	drawAll();
	edited(t0);
}

function restore(saved)
{
	if (saved === null)
		return;
	state.layouts = JSON.parse(saved);
	state.active = -1;
	drawAll();
	edited(performance.now());
}

// ---- pointer and keyboard on the plot

function pointerAt(event)
{
	const box = plot.svg.getBoundingClientRect();
	const x = event.clientX - box.left, y = event.clientY - box.top;
	return { hz: xToHz(plot.scale, x), db: yToDb(plot.scale, y) };
}

function roundHz(hz)
{
	return roundTo(Math.min(Math.max(hz, 1), state.rate / 2), 4);
}

function roundGain(db)
{
	return roundTo(dbToGain(Math.round(db * 10) / 10), 6);
}

function onPointerDown(event)
{
	const handle = event.target.closest(".breakpoint");
	if (handle === null || event.button !== 0)
		return;
	event.preventDefault();
	handle.focus();
	try {
		handle.setPointerCapture(event.pointerId);
	} catch {
		// The pointer is gone already; its up event ends the drag.
	}
	const i = Number(handle.dataset.index);
	state.active = i;
	// Undo takes back the whole drag; a click that moves nothing is no edit.
	state.drag = { index: i, pointer: event.pointerId, before: snapshot() };
	drawRequested();
}

function onPointerMove(event)
{
	const drag = state.drag;
	if (drag === null || event.pointerId !== drag.pointer)
		return;
	const t0 = performance.now();
	if (drag.before !== null) {
		record(edits, drag.before);
		drag.before = null;
	}
	const layout = state.layouts[current()];
	const old = layout.points[drag.index];
	const at = pointerAt(event);
	const hz = event.shiftKey ? old.hz : roundHz(at.hz);
	const gain = event.altKey ? old.gain : roundGain(at.db);
	apply({ normalize: layout.normalize, points: moveBreakpoint(layout.points, drag.index, hz, gain) });
	edited(t0); // the request first, the drawing while it is under way
	drawRequested();
	drawTable();
}

function onPointerUp(event)
{
	if (state.drag === null || event.pointerId !== state.drag.pointer)
		return;
	state.drag = null;
	drawAll();
}

function onDoubleClick(event)
{
	if (event.target.closest(".breakpoint") !== null)
		return;
	const at = pointerAt(event);
	const layout = state.layouts[current()];
	const added = addBreakpoint(layout.points, roundHz(at.hz), roundGain(at.db));
	state.active = added.index;
	change({ normalize: layout.normalize, points: added.points });
}

function onHandleKey(event)
{
	const handle = event.target.closest(".breakpoint");
	if (handle === null)
		return;
	const i = Number(handle.dataset.index);
	const layout = state.layouts[current()];
	const p = layout.points[i];
	const octave = event.shiftKey ? 1 / 4 : 1 / 48;
	const dbStep = event.shiftKey ? 3 : 0.5;
	let points = null;
	switch (event.key) {
	case "ArrowLeft":
	case "ArrowRight": {
		const hz = roundHz(p.hz * Math.pow(2, event.key === "ArrowLeft" ? -octave : octave));
		points = moveBreakpoint(layout.points, i, hz, p.gain);
		state.active = i;
		break;
	}
	case "ArrowUp":
	case "ArrowDown": {
		const db = Number.isFinite(gainToDb(p.gain)) ? gainToDb(p.gain) : -60;
		points = moveBreakpoint(layout.points, i, p.hz, roundGain(db + (event.key === "ArrowUp" ? dbStep : -dbStep)));
		state.active = i;
		break;
	}
	case "Delete":
	case "Backspace":
		points = removeBreakpoint(layout.points, i);
		state.active = Math.min(i, points.length - 1);
		break;
	default:
		return;
	}
	event.preventDefault();
	change({ normalize: layout.normalize, points });
	const next = plot.handles.children[state.active];
	if (next)
		next.focus();
}

// ---- the table and the text

function onTableChange(event)
{
	const input = event.target;
	const row = input.closest("tr");
	if (!input.dataset.field || row === null)
		return;
	const i = Number(row.dataset.index);
	const layout = state.layouts[current()];
	const v = Number(input.value.trim());
	const field = input.dataset.field;
	const bad = input.value.trim() === "" || Number.isNaN(v) ||
	            (field === "hz" && !(v >= 0 && Number.isFinite(v))) ||
	            (field === "gain" && !(v >= 0 && Number.isFinite(v))) ||
	            (field === "db" && !(Number.isFinite(v) || v === -Infinity));
	if (bad) {
		input.setAttribute("aria-invalid", "true");
		$("layout-error").textContent = `Breakpoint ${i + 1}: ${field === "hz" ? "a frequency of 0 Hz or more" : field === "db" ? "a gain in dB" : "a linear gain of 0 or more"}, please`;
		return;
	}
	let points;
	if (field === "hz") {
		const moved = setFrequency(layout.points, i, v);
		points = moved.points;
		state.active = moved.index;
	} else {
		const gain = field === "db" ? roundTo(dbToGain(v), 6) : v;
		points = moveBreakpoint(layout.points, i, layout.points[i].hz, gain);
		state.active = i;
	}
	input.blur();
	change({ normalize: layout.normalize, points });
}

function onTableClick(event)
{
	const button = event.target.closest("button.remove");
	if (button === null)
		return;
	const i = Number(button.closest("tr").dataset.index);
	const layout = state.layouts[current()];
	state.active = -1;
	change({ normalize: layout.normalize, points: removeBreakpoint(layout.points, i) });
}

function onTextChange()
{
	const text = $("layout-text");
	const parsed = parseLayout(text.value);
	if (!parsed.ok) {
		text.setAttribute("aria-invalid", "true");
		$("layout-error").textContent = `Layout line ${parsed.line}: ${parsed.error}`;
		return;
	}
	text.removeAttribute("aria-invalid");
	state.active = -1;
	text.blur();
	change({ normalize: parsed.normalize, points: parsed.points });
}

function onAdd()
{
	const layout = state.layouts[current()];
	const pts = layout.points;
	let hz = 1000;
	const i = state.active >= 0 && state.active < pts.length ? state.active : -1;
	if (i >= 0)
		hz = i + 1 < pts.length ? Math.sqrt(Math.max(pts[i].hz, 10) * pts[i + 1].hz) : Math.min(pts[i].hz * 2, state.rate / 2);
	const added = addBreakpoint(pts, roundHz(hz), roundTo(gainAt(pts, hz), 6));
	state.active = added.index;
	change({ normalize: layout.normalize, points: added.points });
}

function onRemove()
{
	const layout = state.layouts[current()];
	const i = state.active >= 0 ? state.active : layout.points.length - 1;
	if (i < 0 || i >= layout.points.length)
		return;
	state.active = -1;
	change({ normalize: layout.normalize, points: removeBreakpoint(layout.points, i) });
}

// ---- device actions

// An action under way: its earlier results go, so no one reads them as new.
function showPending(title)
{
	const list = $("result");
	const li = document.createElement("li");
	li.className = "pending";
	li.textContent = `${title}: sending…`;
	list.replaceChildren(li);
}

function showResults(title, rows)
{
	const list = $("result");
	list.replaceChildren();
	const head = document.createElement("li");
	head.textContent = title;
	list.appendChild(head);
	for (const r of rows) {
		const li = document.createElement("li");
		li.textContent = r.written ? `channel ${r.channel}: written` :
		                             `channel ${r.channel}: NOT written: ${r.error || "refused"}`;
		li.className = r.written ? "ok" : "error";
		list.appendChild(li);
	}
}

function showError(title, answer)
{
	const list = $("result");
	list.replaceChildren();
	const li = document.createElement("li");
	li.className = "error";
	li.textContent = `${title}: ${failure(answer)}`;
	list.appendChild(li);
}

function actionChannels()
{
	const v = $("channel").value;
	return v === "all" ? [...Array(state.channels).keys()] : [Number(v)];
}

// Loads each channel's own layout (or the one given), one request for the
// channels that share a layout. Returns the per-channel rows.
async function loadLayouts(channels, textOf, title)
{
	const groups = new Map();
	for (const c of channels) {
		const text = textOf(c);
		groups.set(text, [...(groups.get(text) || []), c]);
	}
	const rows = [];
	for (const [text, chans] of groups) {
		const answer = await call(state.token, "POST", "/api/load", { channels: chans, layout: text });
		if (answer.status !== 200 || !answer.body || !Array.isArray(answer.body.channels)) {
			for (const c of chans)
				rows.push({ channel: c, written: false, error: failure(answer) });
			continue;
		}
		for (const r of answer.body.channels) {
			rows.push(r);
			if (r.written) {
				state.loaded[r.channel] = text;
				state.bypassed[r.channel] = false;
			}
		}
	}
	rows.sort((a, b) => a.channel - b.channel);
	showResults(title, rows);
}

async function onLoad()
{
	showPending("Load");
	await loadLayouts(actionChannels(), layoutText, "Load");
	drawAll();
}

async function onBypass()
{
	const channels = actionChannels();
	showPending("A/B");
	if (channels.every((c) => state.bypassed[c])) {
		await loadLayouts(channels, (c) => state.loaded[c] ?? layoutText(c), "EQ: what was loaded, again");
	} else {
		const answer = await call(state.token, "POST", "/api/bypass", { channels });
		if (answer.status !== 200 || !answer.body || !Array.isArray(answer.body.channels)) {
			showError("Bypass", answer);
		} else {
			for (const r of answer.body.channels)
				if (r.written)
					state.bypassed[r.channel] = true;
			showResults("Bypass: a flat filter with the same delay", answer.body.channels);
		}
	}
	drawAll();
}

async function onOff()
{
	const channels = actionChannels();
	showPending("Off");
	const answer = await call(state.token, "POST", "/api/off", { channels });
	if (answer.status !== 200 || !answer.body || !Array.isArray(answer.body.channels)) {
		showError("Off", answer);
		return;
	}
	for (const r of answer.body.channels)
		if (r.written)
			state.bypassed[r.channel] = false;
	showResults("Off: the filter is switched off, so the latency changes (no filter delay)",
	            answer.body.channels);
	drawAll();
}

async function onSave()
{
	const channels = {};
	state.layouts.forEach((_, c) => (channels[String(c)] = layoutText(c)));
	showPending("Save profile");
	const answer = await call(state.token, "PUT", "/api/profile", { channels });
	if (answer.status !== 200 || !answer.body) {
		showError("Save profile", answer);
		return;
	}
	const list = $("result");
	list.replaceChildren();
	const li = document.createElement("li");
	li.className = "ok";
	const files = Array.isArray(answer.body.files) ? answer.body.files.join(", ") : "";
	li.textContent = `Saved ${answer.body.saved ?? ""}${files ? `: ${files}` : ""}`;
	list.appendChild(li);
}

// ---- import

function numberOption(id)
{
	const v = $(id).value.trim();
	return v === "" ? undefined : Number(v);
}

async function importText(text)
{
	$("import-error").textContent = "";
	const options = {};
	const smooth = numberOption("opt-smooth"), boost = numberOption("opt-max-boost"), cut = numberOption("opt-max-cut");
	if (smooth !== undefined)
		options.smooth = smooth;
	if (boost !== undefined)
		options.max_boost = boost;
	if (cut !== undefined)
		options.max_cut = cut;
	const range = $("opt-range").value.trim();
	if (range !== "") {
		const m = /^([0-9.eE+]+)\s*[:\s-]\s*([0-9.eE+]+)$/.exec(range);
		if (m === null) {
			$("import-error").textContent = "Range: low:high in Hz, such as 20:20000";
			return;
		}
		options.range = [Number(m[1]), Number(m[2])];
	}
	const targetFile = $("opt-target").files[0];
	if (targetFile)
		options.target = await targetFile.text();
	const format = $("import-format").value || null;
	const answer = await call(state.token, "POST", "/api/import", { text, format, options });
	if (answer.status !== 200 || !answer.body || typeof answer.body.layout !== "string") {
		$("import-error").textContent = `Import refused: ${failure(answer)}`;
		return;
	}
	const parsed = parseLayout(answer.body.layout);
	if (!parsed.ok) {
		$("import-error").textContent = `Import gave a layout this page cannot read (line ${parsed.line}): ${parsed.error}`;
		return;
	}
	const notes = $("notes");
	notes.replaceChildren();
	for (const n of answer.body.notes || []) {
		const li = document.createElement("li");
		li.textContent = n;
		notes.appendChild(li);
	}
	for (const c of targets())
		state.measurements[c] = answer.body.measurement || null;
	state.active = -1;
	change({ normalize: parsed.normalize, points: parsed.points });
}

async function importFile(file)
{
	if (file.size > 16 * 1024 * 1024) {
		$("import-error").textContent = `${file.name}: larger than 16 MiB`;
		return;
	}
	await importText(await file.text());
}

// ---- start

function fillChannels()
{
	const select = $("channel");
	select.replaceChildren();
	for (let c = 0; c < state.channels; c++)
		select.add(new Option(`channel ${c}`, String(c)));
	if (state.channels > 1)
		select.add(new Option("all channels", "all"));
}

function deviceLine(d)
{
	const where = d.path === null ? "no device: designs only" :
	                                `${d.path} ${d.what ?? ""} part ${d.part ?? ""}${d.name ? ` (${d.name})` : ""}`;
	return `${where} · ${d.rate} Hz · N = ${d.length} · ${d.channels} channel${d.channels === 1 ? "" : "s"}`;
}

function wire()
{
	const svg = plot.svg;
	svg.addEventListener("pointerdown", onPointerDown);
	svg.addEventListener("pointermove", onPointerMove);
	svg.addEventListener("pointerup", onPointerUp);
	svg.addEventListener("pointercancel", onPointerUp);
	svg.addEventListener("dblclick", onDoubleClick);
	svg.addEventListener("keydown", onHandleKey);
	svg.addEventListener("focusin", (e) => {
		const h = e.target.closest(".breakpoint");
		if (h !== null && state.drag === null) {
			state.active = Number(h.dataset.index);
			for (const row of document.querySelectorAll("#points tbody tr"))
				row.classList.toggle("active", Number(row.dataset.index) === state.active);
		}
	});
	svg.addEventListener("dragover", (e) => e.preventDefault());
	svg.addEventListener("drop", (e) => {
		e.preventDefault();
		const file = e.dataTransfer.files[0];
		if (file)
			importFile(file);
	});
	$("import-file").addEventListener("change", (e) => {
		const file = e.target.files[0];
		if (file)
			importFile(file);
		e.target.value = "";
	});
	const body = document.querySelector("#points tbody");
	body.addEventListener("change", onTableChange);
	body.addEventListener("click", onTableClick);
	$("layout-text").addEventListener("change", onTextChange);
	$("normalize").addEventListener("change", (e) => {
		const layout = state.layouts[current()];
		change({ normalize: e.target.checked, points: layout.points });
	});
	$("channel").addEventListener("change", () => {
		state.active = -1;
		state.design = null;
		drawAll();
		edited(performance.now());
	});
	$("link").addEventListener("change", drawAll);
	$("add").addEventListener("click", onAdd);
	$("remove").addEventListener("click", onRemove);
	$("undo").addEventListener("click", () => restore(undo(edits, snapshot())));
	$("redo").addEventListener("click", () => restore(redo(edits, snapshot())));
	document.addEventListener("keydown", (e) => {
		if (!(e.ctrlKey || e.metaKey) || e.target.closest("input, textarea"))
			return;
		const key = e.key.toLowerCase();
		if (key === "z" && !e.shiftKey)
			restore(undo(edits, snapshot()));
		else if (key === "y" || (key === "z" && e.shiftKey))
			restore(redo(edits, snapshot()));
		else
			return;
		e.preventDefault();
	});
	$("load").addEventListener("click", onLoad);
	$("bypass").addEventListener("click", onBypass);
	$("off").addEventListener("click", onOff);
	$("save").addEventListener("click", onSave);
	let pending = false;
	window.addEventListener("resize", () => {
		if (!pending)
			requestAnimationFrame(() => ((pending = false), drawAll()));
		pending = true;
	});
}

// A refused page starts again when the address gains a token.
function refuse(text)
{
	window.addEventListener("hashchange", () => location.reload());
	document.body.classList.add("refused");
	$("device").textContent = text;
	for (const b of document.querySelectorAll("button, select, input, textarea"))
		b.disabled = true;
}

async function start()
{
	const fragment = location.hash.slice(1);
	if (fragment !== "") {
		sessionStorage.setItem("firtune-token", fragment);
		window.history.replaceState(null, "", location.pathname + location.search);
	}
	state.token = sessionStorage.getItem("firtune-token") || "";
	if (state.token === "") {
		refuse("Access refused: this page needs the address firtune printed, with its #token at the end.");
		window.firtune.ready = true;
		return;
	}
	const device = await call(state.token, "GET", "/api/device");
	if (device.status !== 200 || device.body === null) {
		if (device.status === 401)
			sessionStorage.removeItem("firtune-token");
		refuse(device.status === 401 ? "Access refused: the token is wrong or from an earlier run of firtune." :
		                               failure(device));
		window.firtune.ready = true;
		return;
	}
	const d = device.body;
	state.rate = d.rate;
	state.channels = Math.max(1, d.channels | 0);
	state.canLoad = d.can_load === true;
	$("device").textContent = deviceLine(d);
	for (let c = 0; c < state.channels; c++) {
		state.layouts.push({ normalize: false, points: [] });
		state.loaded.push(null);
		state.bypassed.push(false);
		state.measurements.push(null);
	}
	for (const id of ["load", "bypass", "off"]) {
		$(id).disabled = !state.canLoad;
		$(id).title = state.canLoad ? "" : d.reason || "no device";
	}
	$("device-note").textContent = state.canLoad ? "" : `Device actions are off: ${d.reason || "firtune was started without a device"}.`;

	let profileError = "";
	const profile = await call(state.token, "GET", "/api/profile");
	if (profile.status === 200 && profile.body && profile.body.channels) {
		for (const [key, text] of Object.entries(profile.body.channels)) {
			const c = Number(key);
			const parsed = parseLayout(String(text));
			if (Number.isInteger(c) && c >= 0 && c < state.channels && parsed.ok)
				state.layouts[c] = { normalize: parsed.normalize, points: parsed.points };
			else if (Number.isInteger(c) && c >= 0 && c < state.channels)
				profileError = `The profile's layout of channel ${c}, line ${parsed.line}: ${parsed.error}; the channel starts flat`;
		}
		const path = profile.body.path;
		$("save").disabled = !path;
		$("save").title = path ? "" : "firtune was started without a profile file";
		$("save-note").textContent = path ? `Profile: ${path}` : "Saving is off: firtune was started without a profile file.";
	} else {
		$("save").disabled = true;
		$("save").title = failure(profile);
		$("save-note").textContent = `Saving is off: ${failure(profile)}.`;
	}
	fillChannels();
	$("link").checked = state.channels >= 2 && layoutText(0) === layoutText(1);
	$("link").disabled = state.channels < 2;
	wire();
	drawAll();
	edited(performance.now());
	$("layout-error").textContent = profileError;
	window.firtune.ready = true;
}

plot = makePlot($("plot"));
start();
