// Editing bands on the plot and in their table: a handle a band at (Fc,
// gain) that drags both, the wheel or Shift+Up/Down for its Q or slope,
// double-click adding a peak, Delete removing the focused band, each
// band's own curve drawn faintly.
import { record } from "./history.js";
import { bandTypes, hasGain, bandCurves, stepWidth, widthText, bandAt, handlePosition, handleDb } from "./bands.js";
import { pathData } from "./plot.js";
import { $, state, current, isBands, snapshot, apply, mayReplace } from "./state.js";
import { edited, change } from "./edit.js";
import { drawRequested } from "./view.js";

const ns = "http://www.w3.org/2000/svg";

function layout()
{
	return state.layouts[current()];
}

function withBands(bands)
{
	const l = layout();
	return { normalize: false, points: [], preamp: l.preamp || 0, bands };
}

// Sets the attributes whose value differs: an attribute set again to what
// it was still has the page style and draw the element anew.
function setChanged(element, attributes)
{
	for (const [k, v] of Object.entries(attributes))
		if (element.getAttribute(k) !== String(v))
			element.setAttribute(k, v);
}

// The faint curves and the handles; empty for a breakpoint layout.
export function drawBands()
{
	const plot = state.plot;
	const on = isBands(current());
	const l = layout();
	$("key-bands").classList.toggle("hidden", !on);
	const have = plot.bandHandles.children;
	const bands = on ? l.bands : [];
	while (have.length > bands.length)
		have[have.length - 1].remove();
	while (have.length < bands.length) {
		const c = document.createElementNS(ns, "circle");
		for (const [k, v] of Object.entries({ class: "band", r: 7, tabindex: 0, role: "slider" }))
			c.setAttribute(k, v);
		plot.bandHandles.appendChild(c);
	}
	const paths = plot.bandCurves.children;
	const curves = on ? bandCurves(l, state.rate) : { each: [] };
	while (paths.length > curves.each.length)
		paths[paths.length - 1].remove();
	while (paths.length < curves.each.length) {
		const p = document.createElementNS(ns, "path");
		p.setAttribute("class", "curve band-curve");
		plot.bandCurves.appendChild(p);
	}
	if (!on)
		return null;
	curves.each.forEach((pairs, i) => {
		// Where a band is flat its curve is left out, so that the bands'
		// 0 dB lines do not add up to one strong line. A path is drawn
		// again only when its band or the axes changed.
		const p = paths[i];
		if (p.drawn === pairs && p.scale === plot.scale)
			return;
		p.setAttribute("d", pathData(plot.scale, pairs.map(([f, v]) => [f, Math.abs(v) < 0.05 ? null : v])));
		p.drawn = pairs;
		p.scale = plot.scale;
	});
	bands.forEach((b, i) => {
		const c = have[i];
		const at = handlePosition(plot.scale, b);
		setChanged(c, {
			cx: at.x.toFixed(1),
			cy: at.y.toFixed(1),
			"data-index": i,
			"data-type": b.type,
			"data-hz": b.hz,
			"data-db": handleDb(b),
			"data-q": b.q,
			"aria-label": `band ${i + 1}: ${b.type} ${b.hz} Hz${hasGain(b.type) ? ` ${b.db} dB` : ""} ${widthText(b)}${b.on ? "" : " (off)"}`,
		});
		c.classList.toggle("active", i === state.active);
		c.classList.toggle("off", !b.on);
	});
	return curves.sum;
}

function pointer(event)
{
	const box = state.plot.svg.getBoundingClientRect();
	return bandAt(state.plot.scale, event.clientX - box.left, event.clientY - box.top, state.rate);
}

function replaceBand(i, band)
{
	const bands = layout().bands.map((b) => ({ ...b }));
	bands[i] = band;
	return bands;
}

export function onBandDown(event)
{
	const handle = event.target.closest(".band");
	if (handle === null || event.button !== 0)
		return;
	event.preventDefault();
	event.stopImmediatePropagation();
	if (!mayReplace())
		return;
	handle.focus();
	try {
		handle.setPointerCapture(event.pointerId);
	} catch {
		// The pointer is gone already; its up event ends the drag.
	}
	state.active = Number(handle.dataset.index);
	state.drag = { index: state.active, pointer: event.pointerId, before: snapshot(), band: true };
	drawBandTable();
}

export function onBandMove(event)
{
	const drag = state.drag;
	if (drag === null || !drag.band || event.pointerId !== drag.pointer)
		return;
	const t0 = performance.now();
	if (drag.before !== null) {
		record(state.edits, drag.before);
		drag.before = null;
	}
	const b = layout().bands[drag.index];
	const at = pointer(event);
	apply(withBands(replaceBand(drag.index, { ...b, hz: event.shiftKey ? b.hz : at.hz,
	                                          db: event.altKey || !hasGain(b.type) ? b.db : at.db })));
	edited(t0);
	drawRequested();
	drawBandTable();
}

// The wheel over a band's handle: its Q (or slope).
export function onBandWheel(event)
{
	const handle = event.target.closest(".band");
	if (handle === null)
		return;
	event.preventDefault();
	const i = Number(handle.dataset.index);
	state.active = i;
	change(withBands(replaceBand(i, stepWidth(layout().bands[i], event.deltaY < 0))));
	refocus();
}

function refocus()
{
	const next = state.plot.bandHandles.children[state.active];
	if (next)
		next.focus();
}

export function onBandKey(event)
{
	const handle = event.target.closest(".band");
	if (handle === null)
		return;
	const i = Number(handle.dataset.index);
	const b = layout().bands[i];
	let bands = null;
	switch (event.key) {
	case "ArrowUp":
	case "ArrowDown":
		if (event.shiftKey)
			bands = replaceBand(i, stepWidth(b, event.key === "ArrowUp"));
		else if (hasGain(b.type))
			bands = replaceBand(i, { ...b, db: Math.round((b.db + (event.key === "ArrowUp" ? 0.5 : -0.5)) * 10) / 10 });
		break;
	case "ArrowLeft":
	case "ArrowRight": {
		const hz = b.hz * Math.pow(2, (event.key === "ArrowLeft" ? -1 : 1) / 24);
		bands = replaceBand(i, { ...b, hz: Math.round(Math.min(Math.max(hz, 10), state.rate / 2 * 0.99) * 10) / 10 });
		break;
	}
	case "Delete":
	case "Backspace":
		bands = layout().bands.filter((_, k) => k !== i);
		state.active = Math.min(i, bands.length - 1);
		break;
	default:
		return;
	}
	if (bands === null)
		return;
	event.preventDefault();
	event.stopImmediatePropagation();
	if (state.active !== Math.min(i, bands.length - 1) || bands.length === layout().bands.length)
		state.active = i;
	change(withBands(bands));
	refocus();
}

// Double-click on a band channel's plot: a peak band there.
export function onBandDoubleClick(event)
{
	if (!isBands(current()) || event.target.closest(".band") !== null)
		return;
	event.stopImmediatePropagation();
	const at = pointer(event);
	const bands = [...layout().bands.map((b) => ({ ...b })), { on: true, type: "PK", hz: at.hz, db: at.db, q: 1.41, bw: 0, slope: 0 }];
	state.active = bands.length - 1;
	change(withBands(bands));
}

// Add and Remove act on bands for a band channel.
export function addBand()
{
	const bands = [...layout().bands.map((b) => ({ ...b })), { on: true, type: "PK", hz: 1000, db: 0, q: 1.41, bw: 0, slope: 0 }];
	state.active = bands.length - 1;
	change(withBands(bands));
}

export function removeBand()
{
	const n = layout().bands.length;
	const i = state.active >= 0 && state.active < n ? state.active : n - 1;
	if (i < 0)
		return;
	state.active = -1;
	change(withBands(layout().bands.filter((_, k) => k !== i)));
}

// The table of bands: on, type, Fc, gain, Q (or slope, BW), rows reused.
export function drawBandTable()
{
	const on = isBands(current());
	$("bands").classList.toggle("hidden", !on);
	$("points").classList.toggle("hidden", on);
	if (!on)
		return;
	const body = document.querySelector("#bands tbody");
	const bands = layout().bands;
	while (body.rows.length > bands.length)
		body.deleteRow(-1);
	while (body.rows.length < bands.length) {
		const row = body.insertRow();
		const box = document.createElement("input");
		box.type = "checkbox";
		box.dataset.field = "on";
		box.setAttribute("aria-label", "on");
		row.insertCell().appendChild(box);
		const type = document.createElement("select");
		type.dataset.field = "type";
		type.setAttribute("aria-label", "type");
		for (const t of bandTypes)
			type.add(new Option(t, t));
		row.insertCell().appendChild(type);
		for (const field of ["hz", "db", "width"]) {
			const input = document.createElement("input");
			input.dataset.field = field;
			input.inputMode = "decimal";
			input.setAttribute("aria-label", { hz: "Fc Hz", db: "gain dB", width: "Q or slope" }[field]);
			row.insertCell().appendChild(input);
		}
	}
	bands.forEach((b, i) => {
		const row = body.rows[i];
		row.dataset.index = i;
		row.classList.toggle("active", i === state.active);
		const values = { hz: `${b.hz}`, db: hasGain(b.type) ? `${b.db}` : "", width: widthText(b).replace(/^(Q|BW) /, "").replace(/ (dB\/oct|oct)$/, "") };
		for (const input of row.querySelectorAll("input, select")) {
			if (input === document.activeElement)
				continue;
			if (input.dataset.field === "on") {
				if (input.checked !== b.on)
					input.checked = b.on;
			} else {
				const v = input.dataset.field === "type" ? b.type : values[input.dataset.field];
				if (input.value !== v)
					input.value = v;
			}
			if (input.dataset.field === "db" && input.disabled !== !hasGain(b.type))
				input.disabled = !hasGain(b.type);
		}
	});
}

export function onBandTableChange(event)
{
	const input = event.target;
	const row = input.closest("tr");
	if (!input.dataset.field || row === null)
		return;
	const i = Number(row.dataset.index);
	const b = { ...layout().bands[i] };
	const field = input.dataset.field;
	if (field === "on") {
		b.on = input.checked;
	} else if (field === "type") {
		b.type = input.value;
	} else {
		const v = Number(input.value.trim().replace(",", "."));
		const ok = input.value.trim() !== "" && Number.isFinite(v) &&
		           (field === "db" || (v > 0 && (field !== "hz" || v < state.rate / 2)));
		if (!ok) {
			input.setAttribute("aria-invalid", "true");
			state.inputError = { row: i, field };
			$("layout-error").textContent = `Band ${i + 1}: ${field === "hz" ? "Fc above 0 and below half the rate" : field === "db" ? "a gain in dB" : "a Q or slope above 0"}, please`;
			return;
		}
		input.removeAttribute("aria-invalid");
		if (field === "hz")
			b.hz = v;
		else if (field === "db")
			b.db = v;
		else if ((b.type === "LS" || b.type === "HS") && b.slope > 0)
			b.slope = v;
		else if (b.bw > 0 && !(b.q > 0))
			b.bw = v;
		else
			b.q = v;
	}
	state.inputError = null;
	state.active = i;
	change(withBands(replaceBand(i, b)));
}

// What the plot's drawing of a band channel needs from view.js.
export function bandValues()
{
	return isBands(current()) ? layout().bands.map(handleDb) : [];
}
