// The device actions: Load, Bypass/EQ, Off and Save profile, and the list
// of per-channel results they leave.
import { call, failure } from "./api.js";
import { $, state, layoutText, actionChannels } from "./state.js";
import { drawAll } from "./view.js";

// An action under way: its earlier results go, so no one reads them as new.
function showPending(title)
{
	const list = $("result");
	const li = document.createElement("li");
	li.className = "pending";
	li.textContent = `${title}: sending…`;
	list.replaceChildren(li);
}

function showResults(title, rows)
{
	const list = $("result");
	list.replaceChildren();
	const head = document.createElement("li");
	head.textContent = title;
	list.appendChild(head);
	for (const r of rows) {
		const li = document.createElement("li");
		li.textContent = r.written ? `channel ${r.channel}: written` :
		                             `channel ${r.channel}: NOT written: ${r.error || "refused"}`;
		li.className = r.written ? "ok" : "error";
		list.appendChild(li);
	}
}

function showError(title, answer)
{
	const list = $("result");
	list.replaceChildren();
	const li = document.createElement("li");
	li.className = "error";
	li.textContent = `${title}: ${failure(answer)}`;
	list.appendChild(li);
}


// Loads each channel's own layout (or the one given), one request for the
// channels that share a layout. Returns the per-channel rows.
async function loadLayouts(channels, textOf, title)
{
	const groups = new Map();
	for (const c of channels) {
		const text = textOf(c);
		groups.set(text, [...(groups.get(text) || []), c]);
	}
	const rows = [];
	for (const [text, chans] of groups) {
		const answer = await call(state.token, "POST", "/api/load", { channels: chans, layout: text });
		if (answer.status !== 200 || !answer.body || !Array.isArray(answer.body.channels)) {
			for (const c of chans)
				rows.push({ channel: c, written: false, error: failure(answer) });
			continue;
		}
		for (const r of answer.body.channels) {
			rows.push(r);
			if (r.written) {
				state.loaded[r.channel] = text;
				state.bypassed[r.channel] = false;
			}
		}
	}
	rows.sort((a, b) => a.channel - b.channel);
	showResults(title, rows);
}

export async function onLoad()
{
	showPending("Load");
	await loadLayouts(actionChannels(), layoutText, "Load");
	drawAll();
}

export async function onBypass()
{
	const channels = actionChannels();
	showPending("A/B");
	if (channels.every((c) => state.bypassed[c])) {
		await loadLayouts(channels, (c) => state.loaded[c] ?? layoutText(c), "EQ: what was loaded, again");
	} else {
		const answer = await call(state.token, "POST", "/api/bypass", { channels });
		if (answer.status !== 200 || !answer.body || !Array.isArray(answer.body.channels)) {
			showError("Bypass", answer);
		} else {
			for (const r of answer.body.channels)
				if (r.written)
					state.bypassed[r.channel] = true;
			showResults("Bypass: a flat filter with the same delay", answer.body.channels);
		}
	}
	drawAll();
}

export async function onOff()
{
	const channels = actionChannels();
	showPending("Off");
	const answer = await call(state.token, "POST", "/api/off", { channels });
	if (answer.status !== 200 || !answer.body || !Array.isArray(answer.body.channels)) {
		showError("Off", answer);
		return;
	}
	for (const r of answer.body.channels)
		if (r.written)
			state.bypassed[r.channel] = false;
	showResults("Off: the filter is switched off, so the latency changes (no filter delay)",
	            answer.body.channels);
	drawAll();
}

export async function onSave()
{
	const channels = {};
	state.layouts.forEach((_, c) => (channels[String(c)] = layoutText(c)));
	showPending("Save profile");
	const answer = await call(state.token, "PUT", "/api/profile", { channels });
	if (answer.status !== 200 || !answer.body) {
		showError("Save profile", answer);
		return;
	}
	const list = $("result");
	list.replaceChildren();
	const li = document.createElement("li");
	li.className = "ok";
	const files = Array.isArray(answer.body.files) ? answer.body.files.join(", ") : "";
	li.textContent = `Saved ${answer.body.saved ?? ""}${files ? `: ${files}` : ""}`;
	list.appendChild(li);
}
