// The editor's state, shared by the page's modules: the device, every
// channel's layout and what the device holds, the design shown, the request
// queue and the undo history. main.js fills it at start.
import { stats } from "./api.js";
import { makeQueue } from "./queue.js";
import { makeHistory } from "./history.js";
import { formatLayout } from "./layout.js";
import { formatBands } from "./bands.js";

export const $ = (id) => document.getElementById(id);

// Sets an element's text when it differs: text set again to what it was
// still has the page lay itself out anew.
export function setText(element, text)
{
	if (element.textContent !== text)
		element.textContent = text;
}

export const state = {
	token: "",
	rate: 48000,
	length: 4096,
	channels: 1,
	canLoad: false,
	phase: "linear",  // of every design: "linear" or "minimum"
	maxGain: null,    // the gain guard's limit in dB, from the device answer
	// Per channel: { normalize, points, preamp } for a breakpoint layout (the
	// preamp is the dB last applied to every gain), or { normalize: false,
	// points: [], preamp, bands } for a list of parametric bands.
	layouts: [],
	// Per channel, what the device holds as far as this page knows:
	// { kind: "unknown" | "loaded" | "bypassed" | "off", text } with the
	// layout text written by the last Load or EQ.
	device: [],
	// Per channel, the profile's layout text as firtune read it, or null when
	// the profile has no such channel; refused: the page could not read it.
	source: [],
	refused: [],
	saved: [],        // per channel: the layout text as last read or saved
	differences: [],  // the profile's device lines the running device does not match
	warnings: [],     // per channel: what the layout as read says beyond its breakpoints
	measurements: [], // per channel: the imported measurement, or null
	// A table cell ({ row, field }) or the layout text ({ line }) that holds
	// something the page refused: what is on screen is not the layout.
	inputError: null,
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

// The filter the layouts are read for.
export function reach()
{
	return { rate: state.rate, length: state.length };
}

export function isBands(c)
{
	return Array.isArray(state.layouts[c].bands);
}

// A channel's source text: a layout, or Equalizer APO text for bands.
export function layoutText(c)
{
	return isBands(c) ? formatBands(state.layouts[c]) : formatLayout(state.layouts[c]);
}

// The format firtune reads a channel's source text in.
export function sourceFormat(c)
{
	return isBands(c) ? "eqapo" : "layout";
}

// A copy of a channel's source, to give to others or keep.
export function copyLayout(layout)
{
	const out = { normalize: layout.normalize, points: layout.points.slice(), preamp: layout.preamp || 0 };
	if (Array.isArray(layout.bands))
		out.bands = layout.bands.map((b) => ({ ...b }));
	return out;
}

export function snapshot()
{
	return JSON.stringify(state.layouts);
}

// Replaces the edited layout on every channel the edit applies to.
export function apply(layout)
{
	const preamp = layout.preamp ?? state.layouts[current()].preamp ?? 0;
	for (const c of targets()) {
		state.layouts[c] = copyLayout({ ...layout, preamp });
		state.warnings[c] = [];
	}
}

// The channels an edit would give a layout other than their own.
export function replaced()
{
	const own = layoutText(current());
	return targets().filter((c) => layoutText(c) !== own);
}

// Asks before an edit replaces another channel's different layout.
export function mayReplace()
{
	const others = replaced();
	if (others.length === 0)
		return true;
	const which = others.length === 1 ? `channel ${others[0]}` : `channels ${others.join(", ")}`;
	return window.confirm(`This edit gives ${which} the layout of channel ${current()}, replacing a different one. ` +
	                      "Undo brings it back. Go on?");
}

// Edits not saved: the page asks before it is left.
export function unsaved()
{
	return state.layouts.some((_, c) => layoutText(c) !== state.saved[c]);
}

export function setStatus(text)
{
	$("status").textContent = text;
}

// The channels a device action applies to: those an edit applies to, so
// linked channels stay equal in the device as on the page.
export function actionChannels()
{
	return targets();
}
