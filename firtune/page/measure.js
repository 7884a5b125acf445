// Measure, correct, verify: a sweep on the shown channel through firtune's
// audio device, the correction made from it by the importer's REW
// correction, and a second measurement through the loaded filter drawn
// beside the first with the largest deviation from the target, before and
// after.
import { call, failure } from "./api.js";
import { $, state, current } from "./state.js";
import { importText } from "./import.js";
import { makeScale, hzToX, dbToY, frequencyTicks, formatHz } from "./scale.js";
import { el, pathData } from "./plot.js";

// Per channel: { before, after } measurements ({ rew, freq, db }) and the
// correction's { freq, target, low, high }.
export const runs = [];
let asked = false;    // the first sweep of this page's run was agreed to
let playing = null;   // the measurement playing: { id, channel }
let available = false;

function run(c)
{
	while (runs.length <= c)
		runs.push({ before: null, after: null, correction: null });
	return runs[c];
}

// The REW text's rows as frequencies and levels.
export function parseRew(text)
{
	const freq = [], db = [];
	for (const line of String(text).split("\n")) {
		if (line.startsWith("*") || line.trim() === "")
			continue;
		const [f, d] = line.trim().split(/\s+/).map(Number);
		if (Number.isFinite(f) && Number.isFinite(d))
			freq.push(f), db.push(d);
	}
	return { rew: String(text), freq, db };
}

// Power average over 1/n octave around each point.
export function smoothed(m, n = 6)
{
	const half = Math.pow(2, 1 / (2 * n));
	return m.db.map((_, i) => {
		let sum = 0, count = 0;
		for (let k = 0; k < m.freq.length; k++)
			if (m.freq[k] >= m.freq[i] / half && m.freq[k] <= m.freq[i] * half)
				sum += Math.pow(10, m.db[k] / 10), count++;
		return 10 * Math.log10(sum / count);
	});
}

function linearAt(freqs, values, f)
{
	if (f <= freqs[0])
		return values[0];
	for (let k = 1; k < freqs.length; k++)
		if (freqs[k] >= f) {
			const t = Math.log(f / freqs[k - 1]) / Math.log(freqs[k] / freqs[k - 1]);
			return values[k - 1] + t * (values[k] - values[k - 1]);
		}
	return values[values.length - 1];
}

// The largest deviation of m, 1/6-octave smoothed, from the target over
// the corrected range, the levels matched (the mean difference taken off):
// { db, hz }.
export function deviation(m, corr)
{
	const sm = smoothed(m);
	const diff = [];
	m.freq.forEach((f, i) => {
		if (f >= corr.low && f <= corr.high)
			diff.push([f, sm[i] - linearAt(corr.freq, corr.target, f)]);
	});
	const mean = diff.reduce((a, [, d]) => a + d, 0) / Math.max(diff.length, 1);
	let worst = { db: 0, hz: 0 };
	for (const [f, d] of diff)
		if (Math.abs(d - mean) > worst.db)
			worst = { db: Math.abs(d - mean), hz: f };
	return worst;
}

// The mean level from 200 Hz to 2 kHz: where the plot puts 0 dB.
function level(m)
{
	let sum = 0, n = 0;
	m.freq.forEach((f, i) => {
		if (f >= 200 && f <= 2000)
			sum += m.db[i], n++;
	});
	return n > 0 ? sum / n : 0;
}

// Before, after and target on the measurement's own axis: shifted so that
// the first measurement's 200 Hz–2 kHz average sits at 0 dB.
export function drawMeasure()
{
	const svg = $("measure-plot");
	svg.replaceChildren();
	const r = run(current());
	const first = r.before || r.after;
	$("measure-figures").textContent = "";
	// Nothing measured on this channel: no empty axes, no legend.
	$("measured").classList.toggle("hidden", !first);
	if (!first) {
		svg.classList.add("hidden");
		$("measure-shift").textContent = "";
		return;
	}
	svg.classList.remove("hidden");
	const box = svg.getBoundingClientRect();
	const w = Math.max(box.width, 200), h = Math.max(box.height, 120);
	svg.setAttribute("viewBox", `0 0 ${w} ${h}`);
	const s = makeScale(10, state.rate / 2, 40, w - 8, 15, -25, 8, h - 22);
	const shift = level(first);
	$("measure-shift").textContent = `Shifted by ${shift > 0 ? "−" : "+"}${Math.abs(shift).toFixed(1)} dB, so that the first measurement's 200 Hz–2 kHz average sits at 0 dB.`;
	for (const f of frequencyTicks(s.fmin, s.fmax)) {
		const x = hzToX(s, f).toFixed(1);
		el("line", { x1: x, x2: x, y1: s.y0, y2: s.y1, class: "tick" }, svg);
		el("text", { x, y: h - 6, class: "xlabel" }, svg).textContent = formatHz(f);
	}
	for (let d = 10; d >= -20; d -= 10) {
		const y = dbToY(s, d).toFixed(1);
		el("line", { x1: s.x0, x2: s.x1, y1: y, y2: y, class: d === 0 ? "tick zero" : "tick" }, svg);
		el("text", { x: s.x0 - 4, y: Number(y) + 4, class: "ylabel" }, svg).textContent = `${d > 0 ? "+" : ""}${d}`;
	}
	const curve = (m, cls) => {
		if (!m)
			return;
		const sm = smoothed(m);
		el("path", { class: `curve ${cls}`, d: pathData(s, m.freq.map((f, i) => [f, sm[i] - shift])) }, svg);
	};
	const corr = r.correction;
	if (corr)
		el("path", { class: "curve target", d: pathData(s, corr.freq.map((f, i) =>
		        [f, f >= corr.low && f <= corr.high ? corr.target[i] - shift : null])) }, svg);
	curve(r.before, "before");
	curve(r.after, "after");
	if (corr) {
		const lines = [`Largest deviation from the target, 1/6 octave, ${formatHz(corr.low)}–${formatHz(corr.high)} Hz:`];
		for (const [name, m] of [["before", r.before], ["after", r.after]])
			if (m) {
				const d = deviation(m, corr);
				lines.push(`${name}: ${d.db.toFixed(2)} dB (at ${Math.round(d.hz)} Hz)`);
			}
		$("measure-figures").textContent = lines.join("\n");
	}
}

function buttons()
{
	const r = run(current());
	$("measure").disabled = !available || playing !== null;
	$("verify").disabled = !available || playing !== null || !r.correction;
	$("correct").disabled = playing !== null || !r.before;
	$("measure-cancel").disabled = playing === null;
}

function number(id, fallback)
{
	const v = Number($(id).value.trim());
	return $(id).value.trim() === "" || !Number.isFinite(v) ? fallback : v;
}

async function measure(loaded)
{
	const c = current();
	const level = number("measure-level", -12), seconds = number("measure-seconds", 5);
	$("measure-error").textContent = "";
	if (!asked) {
		const what = loaded ? "through the filter as loaded" : "with its filter made flat for the sweep and put back afterwards";
		if (!window.confirm(`A ${seconds} s sweep from 10 Hz to ${formatHz(Math.min(22000, 0.45 * state.rate))} Hz will play at ${level} dBFS on output channel ${c}, ${what}. Turn the amplifier down before the first sweep. Play it?`))
			return;
		asked = true;
	}
	const answer = await call(state.token, "POST", "/api/measure",
	                          { channel: c, seconds, level_dbfs: level, with: loaded ? "loaded" : "bypass" });
	if (answer.status !== 202) {
		$("measure-error").textContent = `Measure refused: ${failure(answer)}`;
		return;
	}
	playing = { id: answer.body.id, channel: c };
	$("measure-progress").hidden = false;
	buttons();
	let m = answer.body;
	for (let i = 0; i < 3000 && (m.state === "playing" || m.state === "analysing"); i++) {
		$("measure-progress").value = m.progress || 0;
		$("measure-note").textContent = `Channel ${c}: ${m.state}…`;
		await new Promise((done) => setTimeout(done, 200));
		const got = await call(state.token, "GET", `/api/measure/${playing.id}`);
		if (got.status !== 200) {
			$("measure-error").textContent = `Measurement lost: ${failure(got)}`;
			break;
		}
		m = got.body;
	}
	playing = null;
	$("measure-progress").hidden = true;
	const notes = [m.restored, ...(m.notes || [])].filter((n) => n);
	if (m.state !== "done") {
		$("measure-note").textContent = notes.join("; ");
		$("measure-error").textContent = m.state === "cancelled" ? "Measurement cancelled." : `Measurement failed: ${m.error || m.state}`;
	} else {
		const r = run(c);
		r[loaded ? "after" : "before"] = parseRew(m.rew);
		if (!loaded)
			r.after = null;
		$("measure-note").textContent = `Channel ${c}: delay ${m.delay_ms.toFixed(2)} ms, signal-to-noise ${m.snr_db.toFixed(1)} dB${notes.length ? "; " + notes.join("; ") : ""}.`;
		window.firtune.measured = (window.firtune.measured || 0) + 1;
	}
	buttons();
	drawMeasure();
}

async function cancel()
{
	if (playing !== null)
		await call(state.token, "DELETE", `/api/measure/${playing.id}`, {});
}

// The correction: the first measurement through the importer's REW
// correction with the Measurement options, as the channel's layout.
async function correct()
{
	const c = current(), r = run(c);
	if (!r.before)
		return;
	// The correction is this channel's alone: not linked, not all.
	if ($("channel").value !== String(c)) {
		$("channel").value = String(c);
		$("channel").dispatchEvent(new Event("change"));
	}
	if ($("link").checked) {
		$("link").checked = false;
		$("link").dispatchEvent(new Event("change"));
	}
	// The options it is made with, shown.
	$("opt-range").closest("details").open = true;
	if ($("opt-range").value.trim() === "")
		$("opt-range").value = "50:16000";
	if ($("opt-max-boost").value.trim() === "")
		$("opt-max-boost").value = "6";
	const body = await importText(r.before.rew, "rew");
	if (!body || !body.measurement)
		return;
	const [low, high] = $("opt-range").value.split(/[:\s-]+/).map(Number);
	const m = body.measurement;
	const freq = [], target = [];
	m.frequency_hz.forEach((f, i) => {
		if (m.target_db[i] !== null)
			freq.push(f), target.push(m.target_db[i]);
	});
	r.correction = { freq, target, low, high };
	buttons();
	drawMeasure();
}

// What Save keeps with the profile: each measured channel's REW texts,
// before and (when verified) after.
export function savedMeasurements()
{
	const out = {};
	runs.forEach((r, c) => {
		if (r.before)
			out[String(c)] = r.after ? [r.before.rew, r.after.rew] : [r.before.rew];
	});
	return out;
}

// The measurements the profile kept, shown again.
export function showSaved(measurements)
{
	for (const [key, texts] of Object.entries(measurements || {})) {
		const c = Number(key);
		if (!Number.isInteger(c) || c < 0 || !Array.isArray(texts))
			continue;
		const r = run(c);
		r.before = typeof texts[0] === "string" ? parseRew(texts[0]) : null;
		r.after = typeof texts[1] === "string" ? parseRew(texts[1]) : null;
	}
}

export async function wireMeasure()
{
	const answer = await call(state.token, "GET", "/api/measure");
	available = answer.status === 200 && answer.body && answer.body.can_measure === true;
	$("measure-available").textContent = available ? `Audio: ${answer.body.audio}, microphone on input ${answer.body.record}${
	        answer.body.loopback !== null ? `, loopback on input ${answer.body.loopback}` : ""}.` :
	        `Measuring is off: ${answer.body && answer.body.reason ? answer.body.reason : failure(answer)}.`;
	$("measure").addEventListener("click", () => measure(false));
	$("verify").addEventListener("click", () => measure(true));
	$("measure-cancel").addEventListener("click", cancel);
	$("correct").addEventListener("click", correct);
	$("channel").addEventListener("change", () => { buttons(); drawMeasure(); });
	buttons();
	drawMeasure();
}
