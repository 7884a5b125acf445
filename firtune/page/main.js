// The page: one editor over the channels' layouts, wired to firtune's API.
// The modules do the work; here they meet the page's elements and events.
import { call, failure } from "./api.js";
import { parseLayout } from "./layout.js";
import { undo, redo } from "./history.js";
import { makePlot } from "./plot.js";
import { $, state, current, layoutText, snapshot, reach, unsaved, isBands } from "./state.js";
import { parseBands, looksLikeBands } from "./bands.js";
import { onBandDown, onBandMove, onBandWheel, onBandKey, onBandDoubleClick, onBandTableChange, addBand, removeBand } from "./bandedit.js";
import { onPreampChange, onPreampAuto } from "./preamp.js";
import { onExport } from "./export.js";
import { onPhaseChange } from "./phase.js";
import { drawAll, drawDevice } from "./view.js";
import { edited, change, restore } from "./edit.js";
import { onPointerDown, onPointerMove, onPointerUp, onDoubleClick, onHandleKey } from "./pointer.js";
import { onTableChange, onTableClick, onTextChange, onAdd, onRemove } from "./table.js";
import { onLoad, onBypass, onOff, onSave } from "./device.js";
import { importFile } from "./import.js";
import { wireMeasure, showSaved } from "./measure.js";

function fillChannels()
{
	const select = $("channel");
	select.replaceChildren();
	for (let c = 0; c < state.channels; c++)
		select.add(new Option(`channel ${c}`, String(c)));
	if (state.channels > 1)
		select.add(new Option("all channels", "all"));
}

function deviceLine(d)
{
	const where = d.path === null ? "no device: designs only" :
	                                `${d.path} ${d.what ?? ""} part ${d.part ?? ""}${d.name ? ` (${d.name})` : ""}`;
	return `${where} · ${d.rate} Hz · N = ${d.length} · ${d.channels} channel${d.channels === 1 ? "" : "s"}`;
}

function wire()
{
	const svg = state.plot.svg;
	// Bands first: their handlers stop what they handle.
	svg.addEventListener("pointerdown", onBandDown);
	svg.addEventListener("pointermove", onBandMove);
	svg.addEventListener("dblclick", onBandDoubleClick);
	svg.addEventListener("keydown", onBandKey);
	svg.addEventListener("wheel", onBandWheel, { passive: false });
	svg.addEventListener("pointerdown", onPointerDown);
	svg.addEventListener("pointermove", onPointerMove);
	svg.addEventListener("pointerup", onPointerUp);
	svg.addEventListener("pointercancel", onPointerUp);
	svg.addEventListener("dblclick", onDoubleClick);
	svg.addEventListener("keydown", onHandleKey);
	svg.addEventListener("focusin", (e) => {
		const h = e.target.closest(".breakpoint, .band");
		if (h !== null && state.drag === null) {
			state.active = Number(h.dataset.index);
			for (const row of document.querySelectorAll("#points tbody tr, #bands tbody tr"))
				row.classList.toggle("active", Number(row.dataset.index) === state.active);
		}
	});
	svg.addEventListener("dragover", (e) => e.preventDefault());
	// The file field names the file imported last, dropped ones too.
	svg.addEventListener("drop", (e) => {
		e.preventDefault();
		const file = e.dataTransfer.files[0];
		if (file) {
			$("import-file").files = e.dataTransfer.files;
			importFile(file);
		}
	});
	$("import-file").addEventListener("change", (e) => {
		const file = e.target.files[0];
		if (file)
			importFile(file);
	});
	// Picking the same file again imports it again.
	$("import-file").addEventListener("click", (e) => (e.target.value = ""));
	window.addEventListener("beforeunload", (e) => {
		if (unsaved()) {
			e.preventDefault();
			e.returnValue = "";
		}
	});
	const body = document.querySelector("#points tbody");
	body.addEventListener("change", onTableChange);
	body.addEventListener("click", onTableClick);
	document.querySelector("#bands tbody").addEventListener("change", onBandTableChange);
	$("preamp").addEventListener("change", onPreampChange);
	$("preamp-auto").addEventListener("click", onPreampAuto);
	$("live").addEventListener("change", () => {
		$("live-note").textContent = $("live").checked ? "Live: every design shown is written" : "";
		if ($("live").checked)
			edited(performance.now());
	});
	$("layout-text").addEventListener("change", onTextChange);
	$("normalize").addEventListener("change", (e) => {
		const layout = state.layouts[current()];
		change({ normalize: e.target.checked, points: layout.points });
	});
	$("channel").addEventListener("change", () => {
		state.active = -1;
		state.inputError = null;
		state.design = null;
		drawAll();
		edited(performance.now(), false);
	});
	$("link").addEventListener("change", drawAll);
	$("add").addEventListener("click", () => (isBands(current()) ? addBand() : onAdd()));
	$("remove").addEventListener("click", () => (isBands(current()) ? removeBand() : onRemove()));
	$("undo").addEventListener("click", () => restore(undo(state.edits, snapshot())));
	$("redo").addEventListener("click", () => restore(redo(state.edits, snapshot())));
	document.addEventListener("keydown", (e) => {
		if (e.target.closest("input, textarea, select"))
			return;
		// B: Bypass/EQ, L: Load, for the channels acted on.
		if (!(e.ctrlKey || e.metaKey || e.altKey) && (e.key === "b" || e.key === "l") && state.canLoad) {
			e.preventDefault();
			(e.key === "b" ? onBypass : onLoad)();
			return;
		}
		if (!(e.ctrlKey || e.metaKey))
			return;
		const key = e.key.toLowerCase();
		if (key === "z" && !e.shiftKey)
			restore(undo(state.edits, snapshot()));
		else if (key === "y" || (key === "z" && e.shiftKey))
			restore(redo(state.edits, snapshot()));
		else
			return;
		e.preventDefault();
	});
	$("load").addEventListener("click", onLoad);
	$("bypass").addEventListener("click", onBypass);
	$("off").addEventListener("click", onOff);
	$("save").addEventListener("click", onSave);
	$("export").addEventListener("change", onExport);
	$("phase").addEventListener("change", () => onPhaseChange(() => edited(performance.now(), false), drawAll));
	$("view-delay").addEventListener("change", () => {
		$("delay-plot").classList.toggle("hidden", !$("view-delay").checked);
		drawAll();
	});
	let pending = false;
	window.addEventListener("resize", () => {
		if (!pending)
			requestAnimationFrame(() => ((pending = false), drawAll()));
		pending = true;
	});
}

// A refused page starts again when the address gains a token.
function refuse(text)
{
	window.addEventListener("hashchange", () => location.reload());
	document.body.classList.add("refused");
	$("device").textContent = text;
	for (const b of document.querySelectorAll("button, select, input, textarea"))
		b.disabled = true;
}

async function start()
{
	const fragment = location.hash.slice(1);
	if (fragment !== "") {
		sessionStorage.setItem("firtune-token", fragment);
		window.history.replaceState(null, "", location.pathname + location.search);
	}
	state.token = sessionStorage.getItem("firtune-token") || "";
	if (state.token === "") {
		refuse("Access refused: this page needs the address firtune printed, with its #token at the end.");
		window.firtune.ready = true;
		return;
	}
	const device = await call(state.token, "GET", "/api/device");
	if (device.status !== 200 || device.body === null) {
		if (device.status === 401)
			sessionStorage.removeItem("firtune-token");
		refuse(device.status === 401 ? "Access refused: the token is wrong or from an earlier run of firtune." :
		                               failure(device));
		window.firtune.ready = true;
		return;
	}
	const d = device.body;
	state.rate = d.rate;
	state.length = d.length;
	state.channels = Math.max(1, d.channels | 0);
	state.canLoad = d.can_load === true;
	state.maxGain = typeof d.max_gain_db === "number" ? d.max_gain_db : null;
	state.phase = d.phase === "minimum" ? "minimum" : "linear";
	$("live").checked = state.canLoad;
	$("live").disabled = !state.canLoad;
	// A Live write changes what the device holds, nothing drawn on the plot.
	document.addEventListener("firtune-device", drawDevice);
	$("device").textContent = deviceLine(d);
	for (let c = 0; c < state.channels; c++) {
		state.layouts.push({ normalize: false, points: [], preamp: 0 });
		state.device.push({ kind: "unknown", text: null });
		state.source.push(null);
		state.refused.push(false);
		state.warnings.push([]);
		state.measurements.push(null);
	}
	for (const [id, key] of [["load", "L"], ["bypass", "B"], ["off", ""]]) {
		$(id).disabled = !state.canLoad;
		$(id).title = state.canLoad ? key : d.reason || "no device";
	}
	$("device-note").textContent = state.canLoad ? "" : `Device actions are off: ${d.reason || "firtune was started without a device"}.`;

	let profileError = "";
	const profile = await call(state.token, "GET", "/api/profile");
	if (profile.status === 200 && profile.body && profile.body.channels) {
		for (const [key, text] of Object.entries(profile.body.channels)) {
			const c = Number(key);
			if (!Number.isInteger(c) || c < 0 || c >= state.channels)
				continue;
			state.source[c] = String(text);
			// A source in Equalizer APO's syntax is a list of bands.
			const bands = looksLikeBands(String(text)) ? parseBands(String(text)) : null;
			if (bands !== null) {
				if (bands.ok) {
					state.layouts[c] = { normalize: false, points: [], preamp: bands.preamp, bands: bands.bands };
				} else {
					state.refused[c] = true;
					profileError = `The profile's source of channel ${c}: ${bands.why}; the channel starts flat, and Save leaves its file alone unless you edit it`;
				}
				continue;
			}
			const parsed = parseLayout(String(text), reach());
			if (parsed.ok) {
				state.layouts[c] = { normalize: parsed.normalize, points: parsed.points };
				state.warnings[c] = parsed.warnings;
			} else {
				// Save leaves such a channel's file alone unless it is edited.
				state.refused[c] = true;
				profileError = `The profile's layout of channel ${c}, line ${parsed.line}: ${parsed.error}; the channel starts flat, and Save leaves its file alone unless you edit it`;
			}
		}
		showSaved(profile.body.measurements);
		const path = profile.body.path;
		if (Array.isArray(profile.body.differences))
			state.differences = profile.body.differences.map(String);
		$("save").disabled = !path;
		$("save").title = path ? "" : "firtune was started without a profile file";
		$("save-note").textContent = !path ? "Saving is off: firtune was started without a profile file." :
		        `Profile: ${path}${state.differences.map((d) => `; ${d}`).join("")}`;
	} else {
		$("save").disabled = true;
		$("save").title = failure(profile);
		$("save-note").textContent = `Saving is off: ${failure(profile)}.`;
	}
	state.saved = state.layouts.map((_, c) => layoutText(c));
	fillChannels();
	$("link").checked = state.channels >= 2 && layoutText(0) === layoutText(1);
	$("link").disabled = state.channels < 2;
	wire();
	drawAll();
	await wireMeasure();
	edited(performance.now(), false);
	$("layout-error").textContent = profileError;
	window.firtune.ready = true;
}

state.plot = makePlot($("plot"));
start();
