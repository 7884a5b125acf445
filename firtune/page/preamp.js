// The preamp of the channel shown, its Auto button and the clip
// indicator. A band list's preamp is its Preamp line; a layout's is a gain
// in dB applied to every breakpoint (the layout then holds the shifted
// gains, as firdesign's --gain writes them).
import { roundTo } from "./layout.js";
import { $, state, current, isBands, copyLayout, setText } from "./state.js";
import { change } from "./edit.js";

function fmt(db)
{
	return `${db > 0 ? "+" : ""}${db.toFixed(1)} dB`;
}

// Sets the preamp of the channels edited to db.
export function setPreamp(db)
{
	const layout = copyLayout(state.layouts[current()]);
	const was = layout.preamp || 0;
	if (!Number.isFinite(db) || Math.abs(db) > 120)
		return false;
	db = roundTo(db, 6);
	if (!isBands(current())) {
		const factor = Math.pow(10, (db - was) / 20);
		layout.points = layout.points.map((p) => ({ hz: p.hz, gain: roundTo(p.gain * factor, 9) }));
	}
	layout.preamp = db;
	return change(layout);
}

export function onPreampChange()
{
	const input = $("preamp");
	const v = Number(input.value.trim().replace(",", ".").replace(/dB$/i, ""));
	if (input.value.trim() === "" || !Number.isFinite(v) || Math.abs(v) > 120) {
		input.setAttribute("aria-invalid", "true");
		$("layout-error").textContent = "Preamp: a gain in dB from -120 to +120, please";
		return;
	}
	input.removeAttribute("aria-invalid");
	setPreamp(v);
}

// Auto: the preamp that brings the design's true peak gain to 0 dB.
export function onPreampAuto()
{
	const d = state.design;
	if (d === null || d.summary.peak_db === null)
		return;
	const was = state.layouts[current()].preamp || 0;
	setPreamp(Math.floor((was - d.summary.peak_db) * 100) / 100);
}

// The field, the clip indicator (peak gain above 0 dB) and the limit.
export function drawPreamp()
{
	const input = $("preamp");
	const value = String(state.layouts[current()].preamp || 0);
	if (input !== document.activeElement && input.getAttribute("aria-invalid") !== "true" && input.value !== value)
		input.value = value;
	const d = state.design;
	const peak = d === null ? null : d.summary.peak_db;
	const clip = peak !== null && peak > 0;
	$("clip").classList.toggle("hidden", !clip);
	setText($("clip"), clip ? `CLIP ${fmt(peak)}` : "");
	$("clip").title = clip ? `The design's true peak gain is ${fmt(peak)}: loud passages can clip. Auto lowers the preamp by that much.` : "";
	const over = peak !== null && state.maxGain !== null && peak > state.maxGain;
	setText($("gain-limit"), state.maxGain === null ? "" :
	        `peak ${peak === null ? "?" : fmt(peak)}; firtune refuses to write above ${fmt(state.maxGain)}${over ? ": this design would be refused" : ""}`);
	$("gain-limit").classList.toggle("error", over);
}
