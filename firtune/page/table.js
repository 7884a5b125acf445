// Editing through the table of breakpoints and the layout text, and the
// Add and Remove buttons.
import { parseLayout, scanNumber, gainAt, dbToGain, roundTo, moveBreakpoint, addBreakpoint, removeBreakpoint, setFrequency } from "./layout.js";
import { $, state, current, reach, isBands } from "./state.js";
import { parseBands } from "./bands.js";
import { change } from "./edit.js";
import { roundHz } from "./pointer.js";

export function onTableChange(event)
{
	const input = event.target;
	const row = input.closest("tr");
	if (!input.dataset.field || row === null)
		return;
	const i = Number(row.dataset.index);
	const layout = state.layouts[current()];
	const typed = input.value.trim();
	const number = scanNumber(typed, 0);
	const v = number !== null && number.end === typed.length ? number.value : NaN;
	const field = input.dataset.field;
	const bad = Number.isNaN(v) ||
	            (field === "hz" && !(v >= 0 && Number.isFinite(v))) ||
	            (field === "gain" && !(v >= 0 && Number.isFinite(v))) ||
	            (field === "db" && !(Number.isFinite(v) || v === -Infinity));
	if (bad) {
		input.setAttribute("aria-invalid", "true");
		state.inputError = { row: i, field };
		$("layout-error").textContent = `Breakpoint ${i + 1}: ${field === "hz" ? "a frequency of 0 Hz or more" : field === "db" ? "a gain in dB" : "a linear gain of 0 or more"}, please`;
		return;
	}
	state.inputError = null;
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

export function onTableClick(event)
{
	const button = event.target.closest("button.remove");
	if (button === null)
		return;
	const i = Number(button.closest("tr").dataset.index);
	const layout = state.layouts[current()];
	state.active = -1;
	change({ normalize: layout.normalize, points: removeBreakpoint(layout.points, i) });
}

export function onTextChange()
{
	const text = $("layout-text");
	if (isBands(current())) {
		const bands = parseBands(text.value);
		if (!bands.ok) {
			text.setAttribute("aria-invalid", "true");
			state.inputError = { line: Number(/line (\d+)/.exec(bands.why)?.[1] ?? 1) };
			$("layout-error").textContent = `Bands: ${bands.why}`;
			return;
		}
		text.removeAttribute("aria-invalid");
		state.active = -1;
		text.blur();
		change({ normalize: false, points: [], preamp: bands.preamp, bands: bands.bands });
		return;
	}
	const parsed = parseLayout(text.value, reach());
	if (!parsed.ok) {
		text.setAttribute("aria-invalid", "true");
		state.inputError = { line: parsed.line };
		$("layout-error").textContent = `Layout line ${parsed.line}: ${parsed.error}`;
		return;
	}
	text.removeAttribute("aria-invalid");
	state.active = -1;
	text.blur();
	if (change({ normalize: parsed.normalize, points: parsed.points })) {
		state.warnings[current()] = parsed.warnings;
		$("layout-warning").textContent = parsed.warnings.join("; ");
	}
}

export function onAdd()
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

export function onRemove()
{
	const layout = state.layouts[current()];
	const i = state.active >= 0 ? state.active : layout.points.length - 1;
	if (i < 0 || i >= layout.points.length)
		return;
	state.active = -1;
	change({ normalize: layout.normalize, points: removeBreakpoint(layout.points, i) });
}
