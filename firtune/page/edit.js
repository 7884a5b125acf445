// Edits and designs: every edit of a layout goes through change() (with
// undo) or edited(), which asks firtune for the design of the channel shown
// through the request queue and draws the answer.
import { call, failure, keep } from "./api.js";
import { submit, settle } from "./queue.js";
import { record } from "./history.js";
import { $, state, current, layoutText, sourceFormat, snapshot, apply, setStatus, mayReplace } from "./state.js";
import { liveChannels, liveAnswered } from "./live.js";
import { rescale, drawRequested, drawAchieved, drawSummary, drawTable, drawAll } from "./view.js";

// The current channel's layout changed (t0: when the edit's event came);
// live: the user edited it (Live writes its design), rather than opened or
// switched to it.
export function edited(t0, live = true)
{
	$("layout-error").textContent = "";
	state.refusedRow = -1;
	state.inputError = null;
	const edit = { seq: ++state.seq, text: layoutText(current()), format: sourceFormat(current()), t0, live };
	state.waitingEvents.push({ seq: edit.seq, t0 });
	const now = submit(state.queue, edit);
	if (now !== null)
		design(now);
}

async function design(edit)
{
	// Live: the design is written with the same request.
	const load = liveChannels(edit);
	const answer = await call(state.token, "POST", "/api/design", { source: edit.text, format: edit.format, phase: state.phase, load });
	if (load !== null)
		liveAnswered(edit, load, answer);
	if (answer.status === 200 && answer.body !== null) {
		state.design = answer.body;
		state.designFailed = false;
		window.firtune.shown = edit.text;
		window.firtune.design = answer.body;
		setStatus("");
		if (state.drag === null)
			rescale(), drawRequested();
		drawAchieved();
		drawSummary();
		const drawn = performance.now();
		const done = state.waitingEvents.filter((e) => e.seq <= edit.seq);
		state.waitingEvents = state.waitingEvents.filter((e) => e.seq > edit.seq);
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
		if (line !== "" && edit.format === "layout" && edit.text === layoutText(current()))
			state.refusedRow = answer.body.line - 1 - (state.layouts[current()].normalize ? 1 : 0);
		drawTable();
		$("layout-error").textContent = answer.status === 422 ?
		        `The designer refuses this layout${line}: ${failure(answer)}` : `No design: ${failure(answer)}`;
		state.waitingEvents = state.waitingEvents.filter((e) => e.seq > edit.seq);
		if (answer.status === 0 || answer.status === 401)
			setStatus(failure(answer));
	}
	const next = settle(state.queue);
	if (next !== null)
		design(next);
}

// An edit of the current layout as a whole, with undo.
// Returns false when the user keeps another channel's layout instead.
export function change(layout, t0 = performance.now())
{
	if (!mayReplace()) {
		drawAll();
		return false;
	}
	state.inputError = null;
	record(state.edits, snapshot());
	apply(layout);
	drawAll();
	edited(t0);
	return true;
}

export function restore(saved)
{
	if (saved === null)
		return;
	state.layouts = JSON.parse(saved);
	state.active = -1;
	state.inputError = null;
	drawAll();
	edited(performance.now());
}
