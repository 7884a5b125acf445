// Export: the current channel's design as firdesign writes it (taps in
// text, f32, f64 or WAV; the source; the response table), produced by
// firtune and offered as a download.
import { call, failure } from "./api.js";
import { $, state, current, layoutText, sourceFormat } from "./state.js";

const names = {
	"taps-txt": "taps.txt", "taps-f32": "taps.f32", "taps-f64": "taps.f64", "taps-wav": "taps.wav",
	"response-csv": "response.csv",
};

// The bytes of one export, or { error }.
export async function fetchExport(what)
{
	const c = current();
	const body = { source: layoutText(c), format: sourceFormat(c), phase: state.phase || "linear", what };
	let answer;
	try {
		answer = await fetch("/api/export", {
			method: "POST", cache: "no-store", body: JSON.stringify(body),
			headers: { Authorization: `Bearer ${state.token}`, "Content-Type": "application/json" },
		});
	} catch {
		return { error: "firtune does not answer: has it stopped?" };
	}
	if (!answer.ok) {
		let parsed = null;
		try {
			parsed = await answer.json();
		} catch {
			parsed = null;
		}
		return { error: failure({ status: answer.status, body: parsed }) };
	}
	return { blob: await answer.blob() };
}

export async function onExport()
{
	const menu = $("export");
	const what = menu.value;
	menu.value = "";
	if (what === "")
		return;
	const got = await fetchExport(what);
	if (got.error) {
		$("action-error").textContent = `Export refused: ${got.error}`;
		return;
	}
	$("action-error").textContent = "";
	const c = current();
	const stem = `channel${c}`;
	const name = what === "source" ? `${stem}.${sourceFormat(c) === "eqapo" ? "txt" : "eq"}` : `${stem}-${names[what]}`;
	const url = URL.createObjectURL(got.blob);
	const a = document.createElement("a");
	a.href = url;
	a.download = name;
	document.body.appendChild(a);
	a.click();
	a.remove();
	setTimeout(() => URL.revokeObjectURL(url), 1000);
}
