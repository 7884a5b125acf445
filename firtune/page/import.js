// Import: a file (or dropped file) sent to firtune's importer with the
// measurement options; its layout becomes the edited channels' layout.
import { call, failure } from "./api.js";
import { parseLayout } from "./layout.js";
import { $, state, targets, reach } from "./state.js";
import { parseBands } from "./bands.js";
import { drawAll } from "./view.js";
import { change } from "./edit.js";

function numberOption(id)
{
	const v = $(id).value.trim();
	return v === "" ? undefined : Number(v);
}

// A refused import leaves no notes of an earlier one. format: as chosen
// on the page when not given. The answer's body, or null when refused.
export async function importText(text, format)
{
	$("import-error").textContent = "";
	$("notes").replaceChildren();
	const options = {};
	const smooth = numberOption("opt-smooth"), boost = numberOption("opt-max-boost"), cut = numberOption("opt-max-cut");
	if (smooth !== undefined)
		options.smooth = smooth;
	if (boost !== undefined)
		options.max_boost = boost;
	if (cut !== undefined)
		options.max_cut = cut;
	const range = $("opt-range").value.trim();
	if (range !== "") {
		const m = /^([0-9.eE+]+)\s*[:\s-]\s*([0-9.eE+]+)$/.exec(range);
		if (m === null) {
			$("import-error").textContent = "Range: low:high in Hz, such as 20:20000";
			return null;
		}
		options.range = [Number(m[1]), Number(m[2])];
	}
	const targetFile = $("opt-target").files[0];
	if (targetFile)
		options.target = await targetFile.text();
	const chosen = format !== undefined ? format : $("import-format").value || null;
	const answer = await call(state.token, "POST", "/api/import", { text, format: chosen, options });
	if (answer.status !== 200 || !answer.body || typeof answer.body.layout !== "string") {
		$("import-error").textContent = `Import refused: ${failure(answer)}`;
		return null;
	}
	// An Equalizer APO band list (AutoEq's and REW's filter settings among
	// them) stays a list of bands; anything else becomes a layout.
	const bands = answer.body.format === "eqapo" ? parseBands(text) : { ok: false };
	const parsed = bands.ok ? null : parseLayout(answer.body.layout, reach());
	if (parsed !== null && !parsed.ok) {
		$("import-error").textContent = `Import gave a layout this page cannot read (line ${parsed.line}): ${parsed.error}`;
		return null;
	}
	const channels = targets();
	state.active = -1;
	if (!change(bands.ok ? { normalize: false, points: [], preamp: bands.preamp, bands: bands.bands } :
	                       { normalize: parsed.normalize, points: parsed.points, preamp: 0 }))
		return null;
	for (const n of answer.body.notes || []) {
		const li = document.createElement("li");
		li.textContent = n;
		$("notes").appendChild(li);
	}
	for (const c of channels)
		state.measurements[c] = answer.body.measurement || null;
	drawAll();
	return answer.body;
}

export async function importFile(file)
{
	if (file.size > 16 * 1024 * 1024) {
		$("notes").replaceChildren();
		$("import-error").textContent = `${file.name}: larger than 16 MiB`;
		return;
	}
	await importText(await file.text());
}
