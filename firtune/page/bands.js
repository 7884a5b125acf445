// Parametric bands: a channel's source as a list of Equalizer APO filters
// with a preamp. Reading and writing their text, each band's magnitude for
// the faint curves and the requested sum (the designed curve comes from
// firtune), the handles on the plot and the table of bands.
import { roundTo } from "./layout.js";
import { hzToX, dbToY, xToHz, yToDb } from "./scale.js";

// The types a band can have: with a gain (peak, shelves) or at 0 dB
// (passes and notch). "LS"/"HS" take a slope in dB, "LSC"/"HSC" a Q.
export const bandTypes = ["PK", "LSC", "HSC", "LS", "HS", "LPQ", "HPQ", "LP", "HP", "NO", "BP"];
const withGain = new Set(["PK", "PEQ", "Modal", "LS", "HS", "LSC", "HSC"]);
// Lines that make a configuration more than a band list.
const beyondBands = /^\s*(GraphicEQ|Include|Channel|Copy|Convolution|Delay|Device|Stage|If|ElseIf|Else|EndIf|Eval)\s*:/i;

export function hasGain(type)
{
	return withGain.has(type);
}

function word(text)
{
	return text.replace(",", ".");
}

// A frequency as the importer reads REW's exports: five characters or
// more with exactly three digits after the point are thousands ("8.000"
// is 8000 Hz).
function rewHz(text, v)
{
	const t = word(text);
	return t.length >= 5 && /^[0-9]+\.[0-9]{3}$/.test(t) ? Number(t.replace(".", "")) : v;
}

// One Filter value after "Filter N:": null when it is not a band this page
// edits.
function readFilter(value)
{
	const w = value.trim().split(/\s+/);
	if (w.length < 2 || (w[0] !== "ON" && w[0] !== "OFF"))
		return null;
	// An empty slot of a REW export: passed over, as the importer does.
	if (w[1] === "None" && w.length === 2)
		return "none";
	const band = { on: w[0] === "ON", type: w[1], hz: 1000, db: 0, q: 0, bw: 0, slope: 0 };
	if (!bandTypes.includes(band.type) && !["PEQ", "Modal"].includes(band.type))
		return null;
	if (band.type === "PEQ" || band.type === "Modal")
		band.type = "PK";
	let i = 2;
	const number = (s) => {
		const v = Number(word(s));
		return Number.isFinite(v) ? v : null;
	};
	if (i < w.length && /^[0-9.,]+(dB)?$/.test(w[i]) && (w[i].endsWith("dB") || w[i + 1] === "dB")) {
		band.slope = number(w[i].replace("dB", ""));
		i += w[i].endsWith("dB") ? 1 : 2;
	}
	let fc = false;
	while (i < w.length) {
		const key = w[i++];
		const v = i < w.length ? number(w[i].replace(/(Hz|dB)$/, "")) : null;
		if (key === "Fc" && v !== null)
			band.hz = rewHz(w[i].replace(/Hz$/, ""), v), fc = true;
		else if (key === "Gain" && v !== null)
			band.db = v;
		else if (key === "Q" && v !== null)
			band.q = v;
		else if (key === "BW" && w[i] === "Oct" && i + 1 < w.length && number(w[i + 1]) !== null)
			band.bw = number(w[++i]);
		else
			return null;
		i++;
		if (i < w.length && (w[i] === "Hz" || w[i] === "dB"))
			i++;
	}
	return fc && band.slope !== null ? band : null;
}

// Equalizer APO text as a band list: { ok, preamp, bands }, or { ok: false,
// why } when it holds more than Preamp and Filter lines (a graphic EQ,
// channel routing) or a filter this page does not edit. Other lines (a
// REW export's heading) are passed over, as the importer passes them over.
export function parseBands(text)
{
	let preamp = 0;
	const bands = [];
	let any = false;
	for (const [n, line] of text.split(/\r?\n/).entries()) {
		const bare = line.replace(/#.*/, "");
		if (beyondBands.test(bare))
			return { ok: false, why: `line ${n + 1}: more than a list of bands` };
		let m = /^\s*Preamp\s*:\s*([-+0-9.,eE]+)\s*dB\s*$/i.exec(bare);
		if (m !== null) {
			preamp += Number(word(m[1]));
			any = true;
			continue;
		}
		m = /^\s*Filter\s*[0-9]*\s*:(.*)$/i.exec(bare);
		if (m === null)
			continue;
		any = true;
		const band = readFilter(m[1]);
		if (band === "none")
			continue;
		if (band === null)
			return { ok: false, why: `line ${n + 1}: a filter this page does not edit as a band` };
		bands.push(band);
	}
	if (!any || !Number.isFinite(preamp))
		return { ok: false, why: "no Preamp or Filter line" };
	return { ok: true, preamp, bands };
}

// Whether text reads as Equalizer APO rather than a layout.
export function looksLikeBands(text)
{
	return /^\s*(Preamp|Filter\s*[0-9]*)\s*:/im.test(text);
}

function num(v)
{
	return String(roundTo(v, 6));
}

// The band list as Equalizer APO text, one Filter line a band.
export function formatBands(layout)
{
	let out = `Preamp: ${num(layout.preamp || 0)} dB\n`;
	layout.bands.forEach((b, i) => {
		let line = `Filter ${i + 1}: ${b.on ? "ON" : "OFF"} ${b.type}`;
		if ((b.type === "LS" || b.type === "HS") && b.slope > 0)
			line += ` ${num(b.slope)} dB`;
		// Never three decimals in five characters or more, which the
		// importer would read as thousands.
		const hz = num(b.hz);
		line += ` Fc ${/^[0-9]+\.[0-9]{3}$/.test(hz) && hz.length >= 5 ? `${hz}0` : hz} Hz`;
		if (hasGain(b.type))
			line += ` Gain ${num(b.db)} dB`;
		if (b.q > 0)
			line += ` Q ${num(b.q)}`;
		else if (b.bw > 0)
			line += ` BW Oct ${num(b.bw)}`;
		out += line + "\n";
	});
	return out;
}

// A band's biquad at rate Hz, by the cookbook as the importer designs it;
// null for a flat band.
function biquad(b, rate)
{
	if (!b.on || !(b.hz > 0 && b.hz < rate / 2))
		return null;
	const shelf = ["LS", "HS", "LSC", "HSC"].includes(b.type);
	const low = b.type === "LS" || b.type === "LSC";
	const a = Math.pow(10, (hasGain(b.type) ? b.db : 0) / 40);
	let f0 = b.hz;
	if (shelf) {
		let s = b.slope > 0 ? b.slope / 12 : 0.9;
		let qForm = b.q > 0 && !(b.slope > 0);
		const corner = b.type === "LS" || b.type === "HS";
		if (corner && (b.q > 0 || b.slope > 0)) {
			if (qForm)
				s = 1 / ((1 / (b.q * b.q) - 2) / (a + 1 / a) + 1);
			if (b.db === 0 || !(s > 0))
				return null;
			const shift = Math.pow(10, Math.abs(b.db) / (80 * s));
			f0 = low ? f0 * shift : f0 / shift;
			qForm = false;
		}
		const w0 = 2 * Math.PI * f0 / rate, c = Math.cos(w0), sn = Math.sin(w0);
		const alpha = qForm ? sn / (2 * b.q) : sn / 2 * Math.sqrt(Math.max(0, (a + 1 / a) * (1 / s - 1) + 2));
		const r = 2 * Math.sqrt(a) * alpha;
		return low ? [a * ((a + 1) - (a - 1) * c + r), 2 * a * ((a - 1) - (a + 1) * c), a * ((a + 1) - (a - 1) * c - r),
		              (a + 1) + (a - 1) * c + r, -2 * ((a - 1) + (a + 1) * c), (a + 1) + (a - 1) * c - r] :
		             [a * ((a + 1) + (a - 1) * c + r), -2 * a * ((a - 1) + (a + 1) * c), a * ((a + 1) + (a - 1) * c - r),
		              (a + 1) - (a - 1) * c + r, 2 * ((a - 1) - (a + 1) * c), (a + 1) - (a - 1) * c - r];
	}
	let q = b.q;
	if (!(q > 0) && !(b.bw > 0))
		q = b.type === "NO" ? 30 : b.type === "PK" ? 1 : 0.7071;
	const w0 = 2 * Math.PI * f0 / rate, c = Math.cos(w0), sn = Math.sin(w0);
	const alpha = q > 0 ? sn / (2 * q) : sn * Math.sinh(Math.log(2) / 2 * b.bw * w0 / sn);
	switch (b.type) {
	case "PK": return [1 + alpha * a, -2 * c, 1 - alpha * a, 1 + alpha / a, -2 * c, 1 - alpha / a];
	case "LP": case "LPQ": return [(1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha];
	case "HP": case "HPQ": return [(1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha];
	case "BP": return [alpha, 0, -alpha, 1 + alpha, -2 * c, 1 - alpha];
	case "NO": return [1, -2 * c, 1, 1 + alpha, -2 * c, 1 - alpha];
	default: return null;
	}
}

// |H| of a biquad in dB at f Hz.
function biquadDb(k, f, rate)
{
	const w = 2 * Math.PI * f / rate;
	const re = (p, q, r) => p + q * Math.cos(w) + r * Math.cos(2 * w);
	const im = (q, r) => -(q * Math.sin(w) + r * Math.sin(2 * w));
	const num2 = re(k[0], k[1], k[2]) ** 2 + im(k[1], k[2]) ** 2;
	const den2 = re(k[3], k[4], k[5]) ** 2 + im(k[4], k[5]) ** 2;
	return 10 * Math.log10(num2 / den2);
}

// The frequencies the curves are drawn at: 48 an octave from 10 Hz.
export function curveHz(rate)
{
	const out = [];
	for (let f = 10; f < rate / 2; f *= Math.pow(2, 1 / 48))
		out.push(f);
	out.push(rate / 2 * 0.9999);
	return out;
}

// The curves of bands drawn lately, by band, for one rate: a drag changes
// one band, and the others' curves stay as they were.
const known = { rate: 0, hz: [], curves: new Map() };

function bandKey(b)
{
	return `${b.on} ${b.type} ${b.hz} ${b.db} ${b.q} ${b.bw} ${b.slope}`;
}

// Each band's own curve ([hz, dB] pairs) and their sum with the preamp.
export function bandCurves(layout, rate)
{
	if (known.rate !== rate)
		Object.assign(known, { rate, hz: curveHz(rate), curves: new Map() });
	const hz = known.hz;
	const sum = hz.map(() => layout.preamp || 0);
	if (known.curves.size > 256)
		known.curves.clear();
	const each = layout.bands.map((b) => {
		const key = bandKey(b);
		let pairs = known.curves.get(key);
		if (pairs === undefined) {
			const k = biquad(b, rate);
			pairs = hz.map((f) => [f, k === null ? 0 : biquadDb(k, f, rate)]);
			known.curves.set(key, pairs);
		}
		pairs.forEach(([, v], i) => (sum[i] += v));
		return pairs;
	});
	return { each, sum: hz.map((f, i) => [f, Number.isFinite(sum[i]) ? sum[i] : null]) };
}

// Where a band's handle sits: at (Fc, gain), pass and notch types on the
// 0 dB line.
export function handleDb(b)
{
	return hasGain(b.type) ? b.db : 0;
}

// The Q or slope a step of the wheel or Shift+Up/Down gives: a sixth of
// an octave's worth, kept within what the importer takes.
export function stepWidth(b, up)
{
	const f = up ? Math.pow(2, 1 / 6) : Math.pow(2, -1 / 6);
	const out = { ...b };
	if ((b.type === "LS" || b.type === "HS") && b.slope > 0)
		out.slope = roundTo(Math.min(Math.max(b.slope * f, 1), 48), 3);
	else if (b.bw > 0 && !(b.q > 0))
		out.bw = roundTo(Math.min(Math.max(b.bw / f, 0.01), 8), 3);
	else
		out.q = roundTo(Math.min(Math.max((b.q > 0 ? b.q : 0.7071) * f, 0.1), 40), 3);
	return out;
}

export function widthText(b)
{
	if ((b.type === "LS" || b.type === "HS") && b.slope > 0)
		return `${b.slope} dB/oct`;
	if (b.q > 0)
		return `Q ${b.q}`;
	return b.bw > 0 ? `BW ${b.bw} oct` : "";
}

// Pointer position to a band's Fc and gain, within the axes.
export function bandAt(scale, x, y, rate)
{
	const hz = roundTo(Math.min(Math.max(xToHz(scale, x), 10), rate / 2 * 0.99), 4);
	const db = Math.round(Math.min(Math.max(yToDb(scale, y), scale.dbBottom), scale.dbTop) * 10) / 10;
	return { hz, db };
}

export function handlePosition(scale, b)
{
	const hz = Math.min(Math.max(b.hz, scale.fmin), scale.fmax);
	return { x: hzToX(scale, hz), y: dbToY(scale, Math.min(Math.max(handleDb(b), scale.dbBottom), scale.dbTop)) };
}
