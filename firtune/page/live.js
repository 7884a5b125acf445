// Live: while the switch is on, every design the page shows is also
// written to the channels the edit applies to, by the request that designs
// it. So one write is in flight at a time and of a burst of designs only
// the latest waits, as for the designs; firtune writes no design over the
// gain guard's limit (the page says so) and the channels keep the filter
// last written.
import { failure, keep } from "./api.js";
import { $, state, actionChannels } from "./state.js";

// For measurements: ms from an edit to its taps written, and writes sent.
window.firtune.liveLatencies = [];
window.firtune.liveWrites = 0;
let pending = 0;

export function liveOn()
{
	return state.canLoad && $("live").checked;
}

function say(text)
{
	$("live-note").textContent = text;
}

// The channels a design of edit ({ text, format, t0, live }) is written
// to, or null.
export function liveChannels(edit)
{
	if (!edit.live || !liveOn())
		return null;
	window.firtune.liveWrites++;
	pending++;
	return actionChannels();
}

// The answer to the design of edit written to channels. A design refused
// was not written either, and the designer's reason is shown already.
export function liveAnswered(edit, channels, answer)
{
	pending--;
	const load = answer.status === 200 && answer.body ? answer.body.load : null;
	if (answer.status === 0) {
		for (const c of channels)
			state.device[c] = { kind: "unknown", text: null };
		say(`Live: not written: ${failure(answer)}; the channels keep the filter last written`);
	} else if (load && Array.isArray(load.channels)) {
		const failed = load.channels.filter((r) => !r.written);
		for (const r of load.channels)
			if (r.written)
				state.device[r.channel] = { kind: "loaded", text: edit.text, format: edit.format, live: true };
		keep(window.firtune.liveLatencies, performance.now() - edit.t0);
		say(failed.length === 0 ? "" : `Live: channel ${failed[0].channel} NOT written: ${failed[0].error || "refused"}`);
	} else if (load) {
		say(`Live: not written: ${typeof load.error === "string" ? load.error : "refused"}; the channels keep the filter last written`);
	}
	document.dispatchEvent(new CustomEvent("firtune-device"));
}

// Whether a write is under way (tests wait for none).
export function liveIdle()
{
	return pending === 0;
}
window.firtune.liveIdle = liveIdle;
