// Live: while the switch is on, every design the page shows is also
// written to the channels the edit applies to. One write in flight at a
// time; of a burst of designs only the latest waits; a design over the gain
// guard's limit is never sent, and the channels keep the filter last
// written.
import { call, failure, keep } from "./api.js";
import { makeQueue, submit, settle } from "./queue.js";
import { $, state, actionChannels } from "./state.js";

const writes = makeQueue();

// For measurements: ms from an edit to its taps written, and writes sent.
window.firtune.liveLatencies = [];
window.firtune.liveWrites = 0;

export function liveOn()
{
	return state.canLoad && $("live").checked;
}

function say(text)
{
	$("live-note").textContent = text;
}

// A design was shown for edit ({ text, format, t0 }).
export function designed(edit)
{
	if (!liveOn())
		return;
	const peak = state.design.summary.peak_db;
	if (state.maxGain !== null && peak !== null && peak > state.maxGain) {
		say(`Live: not written: peak gain ${peak >= 0 ? "+" : ""}${peak.toFixed(1)} dB exceeds the limit of ${
		        state.maxGain >= 0 ? "+" : ""}${state.maxGain} dB; the channels keep the filter last written`);
		return;
	}
	const now = submit(writes, { ...edit, channels: actionChannels() });
	if (now !== null)
		write(now);
}

async function write(w)
{
	window.firtune.liveWrites++;
	const answer = await call(state.token, "POST", "/api/load", { channels: w.channels, source: w.text, format: w.format, phase: state.phase });
	if (answer.status === 200 && answer.body && Array.isArray(answer.body.channels)) {
		const failed = answer.body.channels.filter((r) => !r.written);
		for (const r of answer.body.channels)
			if (r.written)
				state.device[r.channel] = { kind: "loaded", text: w.text, format: w.format, live: true };
		keep(window.firtune.liveLatencies, performance.now() - w.t0);
		say(failed.length === 0 ? "" : `Live: channel ${failed[0].channel} NOT written: ${failed[0].error || "refused"}`);
	} else {
		if (answer.status === 0)
			for (const c of w.channels)
				state.device[c] = { kind: "unknown", text: null };
		say(`Live: not written: ${failure(answer)}; the channels keep the filter last written`);
	}
	const ev = new CustomEvent("firtune-device");
	document.dispatchEvent(ev);
	const next = settle(writes);
	if (next !== null)
		write(next);
}

// Whether a write is under way or waits (tests wait for none).
export function liveIdle()
{
	return writes.inFlight === null;
}
window.firtune.liveIdle = liveIdle;
