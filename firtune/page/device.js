// The device actions: Load, Bypass/EQ, Off and Save profile, the list of
// per-channel results they leave, and what each channel then holds. Every
// action acts on the channels an edit applies to.
import { call, failure } from "./api.js";
import { $, state, layoutText, sourceFormat, actionChannels } from "./state.js";
import { drawAll } from "./view.js";
import { savedMeasurements } from "./measure.js";

// An action under way: its earlier results go, so no one reads them as new.
function showPending(title)
{
	const list = $("result");
	const li = document.createElement("li");
	li.className = "pending";
	li.textContent = `${title}: sending…`;
	list.replaceChildren(li);
	$("action-error").textContent = "";
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
	// The first refusal's reason, beside the buttons.
	const refused = rows.find((r) => !r.written);
	$("action-error").textContent = refused ? `${title.split(":")[0]} refused: ${refused.error || "refused"}` : "";
}

function showError(title, answer)
{
	const list = $("result");
	list.replaceChildren();
	const li = document.createElement("li");
	li.className = "error";
	li.textContent = `${title}: ${failure(answer)}`;
	list.appendChild(li);
	$("action-error").textContent = `${title} refused: ${failure(answer)}`;
}

// A refused answer to a write: the device may or may not have changed
// only when firtune did not answer at all.
function settleUnknown(answer, channels)
{
	if (answer.status === 0)
		for (const c of channels)
			state.device[c] = { kind: "unknown", text: null };
}

// What is on screen is not the layout while a cell or the text holds
// something the page refused. Returns the reason, or "".
function unfinished()
{
	const e = state.inputError;
	if (e === null)
		return state.designFailed && state.refusedRow >= 0 ?
		               `the designer refuses breakpoint ${state.refusedRow + 1} of the table` : "";
	return e.line !== undefined ? `the layout text has an error on line ${e.line}` :
	                              `breakpoint ${e.row + 1} of the table has an error (its ${e.field === "hz" ? "Hz" : e.field})`;
}

// Loads each channel's own layout, one request for the channels that
// share a layout. Returns the per-channel rows.
async function loadLayouts(channels, title)
{
	const groups = new Map();
	for (const c of channels) {
		const key = JSON.stringify([layoutText(c), sourceFormat(c)]);
		groups.set(key, [...(groups.get(key) || []), c]);
	}
	const rows = [];
	for (const [key, chans] of groups) {
		const [text, format] = JSON.parse(key);
		const answer = await call(state.token, "POST", "/api/load", { channels: chans, source: text, format, phase: state.phase });
		if (answer.status !== 200 || !answer.body || !Array.isArray(answer.body.channels)) {
			settleUnknown(answer, chans);
			for (const c of chans)
				rows.push({ channel: c, written: false, error: failure(answer) });
			continue;
		}
		for (const r of answer.body.channels) {
			rows.push(r);
			if (r.written)
				state.device[r.channel] = { kind: "loaded", text, format };
		}
	}
	rows.sort((a, b) => a.channel - b.channel);
	showResults(title, rows);
}

function refuseUnfinished(title)
{
	const why = unfinished();
	if (why === "")
		return false;
	$("result").replaceChildren();
	$("action-error").textContent = `${title} refused: ${why}; mend it or undo first.`;
	return true;
}

export async function onLoad()
{
	if (refuseUnfinished("Load"))
		return;
	showPending("Load");
	await loadLayouts(actionChannels(), "Load: what is on screen");
	drawAll();
}

// A/B: Bypass loads a flat filter; EQ, while any of the channels is flat,
// loads what is on screen on every one, and says whether that differs from
// what was loaded before.
export async function onBypass()
{
	const channels = actionChannels();
	if (channels.some((c) => state.device[c].kind === "bypassed")) {
		if (refuseUnfinished("EQ"))
			return;
		const edited = channels.some((c) => state.device[c].text !== layoutText(c));
		showPending("EQ");
		await loadLayouts(channels, edited ? "EQ: what is on screen now, not the layout loaded before" :
		                                     "EQ: what is on screen, the layout loaded before");
	} else {
		await writeFlatOrOff("/api/bypass", "Bypass", "Bypass: a flat filter with the same delay", channels,
		                     (c) => ({ kind: "bypassed", text: state.device[c].text, format: state.device[c].format }));
	}
	drawAll();
}

export async function onOff()
{
	await writeFlatOrOff("/api/off", "Off", "Off: the filter is switched off, so the latency changes (no filter delay)",
	                     actionChannels(), () => ({ kind: "off", text: null }));
	drawAll();
}

// Bypass or Off on the channels: each channel that took the write then
// holds what held(channel) says.
async function writeFlatOrOff(path, name, title, channels, held)
{
	showPending(name);
	const body = path === "/api/bypass" ? { channels, phase: state.phase } : { channels };
	const answer = await call(state.token, "POST", path, body);
	if (answer.status !== 200 || !answer.body || !Array.isArray(answer.body.channels)) {
		settleUnknown(answer, channels);
		showError(name, answer);
		return;
	}
	for (const r of answer.body.channels)
		if (r.written)
			state.device[r.channel] = held(r.channel);
	showResults(title, answer.body.channels);
}

// The channels Save writes: those in the profile that the page could read,
// and those edited here. An unedited channel goes as firtune read it.
export function saveChannels()
{
	const channels = {};
	state.layouts.forEach((_, c) => {
		const text = layoutText(c);
		const edited = text !== state.saved[c];
		if (state.source[c] !== null && !state.refused[c] && !edited)
			channels[String(c)] = state.source[c];
		else if (edited)
			channels[String(c)] = text;
	});
	return channels;
}

export async function onSave()
{
	if (refuseUnfinished("Save profile"))
		return;
	const channels = saveChannels();
	// The profile's device lines stay unless the user says otherwise.
	const replace = state.differences.length > 0 &&
	        window.confirm(`${state.differences.join(";\n")}.\n\nWrite the running device's settings into the profile? ` +
	                       "Cancel saves the layouts and keeps the profile's settings.");
	showPending("Save profile");
	const answer = await call(state.token, "PUT", "/api/profile",
	                          { channels, replace_settings: replace, phase: state.phase,
	                            measurements: savedMeasurements() });
	if (answer.status !== 200 || !answer.body) {
		showError("Save profile", answer);
		return;
	}
	if (replace) {
		state.differences = [];
		$("save-note").textContent = `Profile: ${answer.body.saved}`;
	}
	for (const [key, text] of Object.entries(channels)) {
		const c = Number(key);
		state.saved[c] = layoutText(c);
		state.source[c] = text;
		state.refused[c] = false;
	}
	const list = $("result");
	list.replaceChildren();
	const li = document.createElement("li");
	li.className = "ok";
	const files = Array.isArray(answer.body.files) ? answer.body.files.join(", ") : "";
	li.textContent = `Saved ${answer.body.saved ?? ""}${files ? `: ${files}` : ""}`;
	list.appendChild(li);
}
