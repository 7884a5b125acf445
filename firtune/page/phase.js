// The phase of every design, for the whole profile: linear or minimum.
// Changing it redesigns what is shown and reloads every channel holding a
// filter this page wrote (a loaded design or the flat one of Bypass), so
// that channels stay aligned, and says so.
import { call, failure } from "./api.js";
import { $, state } from "./state.js";

// The phase requests carry.
export function phase()
{
	return state.phase;
}

// Reloads what the channels hold with the phase now chosen; returns the
// sentence that says what happened.
async function reload()
{
	const loaded = new Map(), bypassed = [];
	state.device.forEach((d, c) => {
		if (d.kind === "loaded") {
			const key = JSON.stringify([d.text, d.format || "layout"]);
			loaded.set(key, [...(loaded.get(key) || []), c]);
		} else if (d.kind === "bypassed") {
			bypassed.push(c);
		}
	});
	const done = [], failed = [];
	for (const [key, channels] of loaded) {
		const [text, format] = JSON.parse(key);
		const answer = await call(state.token, "POST", "/api/load", { channels, source: text, format, phase: state.phase });
		settle(answer, channels, done, failed);
	}
	if (bypassed.length > 0)
		settle(await call(state.token, "POST", "/api/bypass", { channels: bypassed, phase: state.phase }), bypassed, done, failed);
	if (done.length === 0 && failed.length === 0)
		return `Phase ${state.phase}: no channel holds a filter from this page, nothing reloaded`;
	return `Phase ${state.phase}: reloaded channel${done.length === 1 ? "" : "s"} ${done.join(", ") || "none"}` +
	       (failed.length > 0 ? `; NOT reloaded: ${failed.join("; ")}` : "");
}

function settle(answer, channels, done, failed)
{
	if (answer.status !== 200 || !answer.body || !Array.isArray(answer.body.channels)) {
		failed.push(`channel${channels.length === 1 ? "" : "s"} ${channels.join(", ")}: ${failure(answer)}`);
		return;
	}
	for (const r of answer.body.channels)
		if (r.written)
			done.push(r.channel);
		else
			failed.push(`channel ${r.channel}: ${r.error || "refused"}`);
}

export async function onPhaseChange(redesign, redraw)
{
	state.phase = $("phase").value === "minimum" ? "minimum" : "linear";
	$("phase-note").textContent = `Phase ${state.phase}: reloading…`;
	redesign();
	$("phase-note").textContent = await reload();
	redraw();
}

export function drawPhase()
{
	$("phase").value = state.phase;
}
