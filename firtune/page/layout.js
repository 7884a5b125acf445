// Layout text and breakpoints, read the way the designer reads them: an
// optional first line beginning with "norm" (any case) asks for normalized
// coefficients; then "<Hz> <linear gain>" pairs separated by any white
// space, frequencies not decreasing. The gain is flat below the first and
// above the last breakpoint and linear in Hz between two breakpoints; a
// piece that starts at 0 Hz is flat at its upper gain. No DOM here.

// { ok: true, normalize, points: [{ hz, gain }] } or
// { ok: false, line, error } with the 1-based line of the breakpoint that
// failed.
export function parseLayout(text)
{
	let normalize = false;
	let start = 0;
	if (text.slice(0, 4).toLowerCase() === "norm") {
		normalize = true;
		const nl = text.indexOf("\n");
		start = nl < 0 ? text.length : nl + 1;
	}
	const tokens = [];
	const re = /\S+/g;
	re.lastIndex = start;
	let line = 1 + countNewlines(text, 0, start);
	let at = start;
	for (let m = re.exec(text); m !== null; m = re.exec(text)) {
		line += countNewlines(text, at, m.index);
		at = m.index;
		tokens.push({ text: m[0], line });
	}
	const points = [];
	for (let i = 0; i < tokens.length; i += 2) {
		const where = tokens[i].line;
		if (i + 1 >= tokens.length)
			return { ok: false, line: where, error: "a frequency without a gain" };
		const hz = Number(tokens[i].text), gain = Number(tokens[i + 1].text);
		if (!Number.isFinite(hz) || !Number.isFinite(gain))
			return { ok: false, line: where, error: "not a number" };
		if (hz < 0)
			return { ok: false, line: where, error: "a negative frequency" };
		if (points.length > 0 && hz < points[points.length - 1].hz)
			return { ok: false, line: where, error: "frequencies must not decrease" };
		points.push({ hz, gain });
	}
	return { ok: true, normalize, points };
}

function countNewlines(text, from, to)
{
	let n = 0;
	for (let i = from; i < to; i++)
		n += text.charCodeAt(i) === 10 ? 1 : 0;
	return n;
}

// One breakpoint a line, after the header when normalized.
export function formatLayout(layout)
{
	let text = layout.normalize ? "normalize\n" : "";
	for (const p of layout.points)
		text += `${p.hz} ${p.gain}\n`;
	return text;
}

// The gain the designer asks for at f Hz.
export function gainAt(points, f)
{
	const n = points.length;
	if (n === 0)
		return 1;
	if (f < points[0].hz)
		return points[0].gain;
	// The last breakpoint at or below f.
	let lo = 0, hi = n - 1;
	while (lo < hi) {
		const mid = (lo + hi + 1) >> 1;
		if (points[mid].hz <= f)
			lo = mid;
		else
			hi = mid - 1;
	}
	if (lo === n - 1)
		return points[lo].gain;
	const a = points[lo], b = points[lo + 1];
	const g0 = a.hz === 0 ? b.gain : a.gain;
	return g0 + ((b.gain - g0) * (f - a.hz)) / (b.hz - a.hz);
}

export function gainToDb(gain)
{
	return 20 * Math.log10(Math.abs(gain));
}

export function dbToGain(db)
{
	return Math.pow(10, db / 20);
}

// The requested curve from fmin to fmax Hz as [hz, gain] pairs: perOctave
// points an octave, and both sides of every breakpoint inside the range so
// corners and steps are drawn where they are.
export function requestedCurve(points, fmin, fmax, perOctave = 96)
{
	const freqs = [];
	const steps = Math.ceil(Math.log2(fmax / fmin) * perOctave);
	for (let k = 0; k <= steps; k++)
		freqs.push(fmin * Math.pow(fmax / fmin, k / steps));
	for (const p of points)
		if (p.hz > fmin && p.hz < fmax)
			freqs.push(p.hz);
	freqs.sort((a, b) => a - b);
	const curve = [];
	for (const [k, f] of freqs.entries()) {
		if (k > 0 && freqs[k - 1] === f)
			continue;
		// At a breakpoint, the value just below it first: a step of two
		// breakpoints at one frequency becomes a vertical line.
		const below = gainAt(points, f * (1 - 1e-12));
		const at = gainAt(points, f);
		if (below !== at)
			curve.push([f, below]);
		curve.push([f, at]);
	}
	return curve;
}

// Rounds to the given number of significant digits.
export function roundTo(x, digits)
{
	return x === 0 ? 0 : Number(x.toPrecision(digits));
}

// Breakpoint i moved to (hz, gain), kept between its neighbours so the
// frequencies stay non-decreasing. Returns new points.
export function moveBreakpoint(points, i, hz, gain)
{
	const lo = i > 0 ? points[i - 1].hz : 0;
	const hi = i + 1 < points.length ? points[i + 1].hz : Infinity;
	const moved = points.slice();
	moved[i] = { hz: Math.min(Math.max(hz, lo), hi), gain };
	return moved;
}

// A breakpoint added where it keeps the order (after any at the same
// frequency). Returns { points, index }.
export function addBreakpoint(points, hz, gain)
{
	let index = 0;
	while (index < points.length && points[index].hz <= hz)
		index++;
	const added = points.slice();
	added.splice(index, 0, { hz, gain });
	return { points: added, index };
}

export function removeBreakpoint(points, i)
{
	const left = points.slice();
	left.splice(i, 1);
	return left;
}

// Breakpoint i set to a typed frequency: the points are sorted again so the
// frequencies stay non-decreasing. Returns { points, index }.
export function setFrequency(points, i, hz)
{
	const { gain } = points[i];
	return addBreakpoint(removeBreakpoint(points, i), hz, gain);
}

// The value of a curve given at rising frequencies, at f Hz: linear in
// log frequency between its points, flat beyond its ends; null where a
// neighbouring value is null.
export function curveAt(freqs, values, f)
{
	const n = freqs.length;
	if (n === 0)
		return null;
	if (f <= freqs[0])
		return values[0];
	if (f >= freqs[n - 1])
		return values[n - 1];
	let lo = 0, hi = n - 1;
	while (hi - lo > 1) {
		const mid = (lo + hi) >> 1;
		if (freqs[mid] <= f)
			lo = mid;
		else
			hi = mid;
	}
	if (freqs[lo] === f)
		return values[lo];
	if (values[lo] === null || values[hi] === null)
		return null;
	const t = Math.log(f / freqs[lo]) / Math.log(freqs[hi] / freqs[lo]);
	return values[lo] + t * (values[hi] - values[lo]);
}
