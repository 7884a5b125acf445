// The pointer and the keyboard on the plot: dragging a breakpoint's handle,
// a double-click that adds one, the arrows and Delete on a focused handle.
import { dbToGain, gainToDb, roundTo, moveBreakpoint, addBreakpoint, removeBreakpoint } from "./layout.js";
import { xToHz, yToDb } from "./scale.js";
import { record } from "./history.js";
import { state, current, snapshot, apply, mayReplace } from "./state.js";
import { edited, change } from "./edit.js";
import { drawRequested, drawTable, drawAll } from "./view.js";

// The pointer's frequency and gain, the gain kept within the dB axis shown:
// a pointer beyond the plot's edge gives the edge's gain.
function pointerAt(event)
{
	const s = state.plot.scale;
	const box = state.plot.svg.getBoundingClientRect();
	const x = event.clientX - box.left, y = event.clientY - box.top;
	return { hz: xToHz(s, x), db: Math.min(Math.max(yToDb(s, y), s.dbBottom), s.dbTop) };
}

export function roundHz(hz)
{
	return roundTo(Math.min(Math.max(hz, 1), state.rate / 2), 4);
}

export function roundGain(db)
{
	return roundTo(dbToGain(Math.round(db * 10) / 10), 6);
}

export function onPointerDown(event)
{
	const handle = event.target.closest(".breakpoint");
	if (handle === null || event.button !== 0)
		return;
	event.preventDefault();
	if (!mayReplace())
		return;
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

export function onPointerMove(event)
{
	const drag = state.drag;
	if (drag === null || drag.band || event.pointerId !== drag.pointer)
		return;
	const t0 = performance.now();
	if (drag.before !== null) {
		record(state.edits, drag.before);
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

export function onPointerUp(event)
{
	if (state.drag === null || event.pointerId !== state.drag.pointer)
		return;
	state.drag = null;
	drawAll();
}

export function onDoubleClick(event)
{
	if (event.target.closest(".breakpoint") !== null)
		return;
	const at = pointerAt(event);
	const layout = state.layouts[current()];
	const added = addBreakpoint(layout.points, roundHz(at.hz), roundGain(at.db));
	state.active = added.index;
	change({ normalize: layout.normalize, points: added.points });
}

export function onHandleKey(event)
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
	const next = state.plot.handles.children[state.active];
	if (next)
		next.focus();
}
