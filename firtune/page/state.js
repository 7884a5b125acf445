// The editor's state, shared by the page's modules: the device, every
// channel's layout and what the device holds, the design shown, the request
// queue and the undo history. main.js fills it at start.
import { stats } from "./api.js";
import { makeQueue } from "./queue.js";
import { makeHistory } from "./history.js";
import { formatLayout } from "./layout.js";

export const $ = (id) => document.getElementById(id);

export const state = {
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
	plot: null,
	queue: makeQueue(),
	edits: makeHistory(),
	// Edits whose achieved curve is not drawn yet: { seq, t0 }.
	waitingEvents: [],
	seq: 0,
};

// For tests and measurements: design requests in flight, the time from an
// edit to the achieved curve that shows it (ms), the layout whose achieved
// curve is shown.
window.firtune = { stats, latencies: [], frameLatencies: [], ready: false, shown: null };

// The channel shown.
export function current()
{
	const v = $("channel").value;
	return v === "all" || v === "" ? 0 : Number(v);
}

// The channels an edit applies to.
export function targets()
{
	const v = $("channel").value;
	if (v === "all")
		return [...Array(state.channels).keys()];
	const c = Number(v);
	if ($("link").checked && state.channels >= 2 && (c === 0 || c === 1))
		return [0, 1];
	return [c];
}

export function layoutText(c)
{
	return formatLayout(state.layouts[c]);
}

export function snapshot()
{
	return JSON.stringify(state.layouts);
}

// Replaces the edited layout on every channel the edit applies to.
export function apply(layout)
{
	for (const c of targets())
		state.layouts[c] = { normalize: layout.normalize, points: layout.points.slice() };
}

export function setStatus(text)
{
	$("status").textContent = text;
}

// The channels a device action applies to.
export function actionChannels()
{
	const v = $("channel").value;
	return v === "all" ? [...Array(state.channels).keys()] : [Number(v)];
}
