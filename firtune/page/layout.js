// Layout text and breakpoints, read the way the designer reads them: an
// optional first line beginning with "norm" (any case) asks for normalized
// coefficients; then "<Hz> <linear gain>" pairs as C's scanf reads numbers
// (hexadecimal ones too), frequencies not decreasing. The designer reads
// pairs only while the bins of a filter of the given rate and length still
// need them, so text after the breakpoint above the highest bin is never
// read; the pairs after it count while they read cleanly and rise. The gain
// is flat below the first and above the last breakpoint and linear in Hz
// between two breakpoints; a piece that starts at 0 Hz is flat at its upper
// gain. No DOM here.

const space = " \t\n\r\v\f";

function skipSpace(text, pos)
{
	while (pos < text.length && space.includes(text[pos]))
		pos++;
	return pos;
}

// The shapes of a number, matched where the scan stands.
const special = /[+-]?(?:inf(?:inity)?(?!i)|nan)/iy;
const hexadecimal = /[+-]?0[xX]([0-9a-fA-F]*)(?:\.([0-9a-fA-F]*))?([pP][+-]?[0-9]+)?([pP]?)/y;
const decimal = /[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?([eE]?)/y;

function matchAt(re, text, at)
{
	re.lastIndex = at;
	return re.exec(text);
}

// One number as scanf's %lf reads it, white space first: { value, end } or
// null. A number must be whole: "1e", "0x" or "0x1p" without their digits
// are no number here (C libraries differ on them).
export function scanNumber(text, pos)
{
	const at = skipSpace(text, pos);
	const word = matchAt(special, text, at);
	if (word !== null) {
		const nan = /nan/i.test(word[0]);
		return { value: nan ? NaN : word[0][0] === "-" ? -Infinity : Infinity, end: at + word[0].length };
	}
	const sign = text[at] === "-" ? -1 : 1;
	const hex = matchAt(hexadecimal, text, at);
	if (hex !== null) {
		const whole = hex[1], frac = hex[2] || "";
		if ((whole === "" && frac === "") || (hex[3] === undefined && hex[4] !== ""))
			return null;
		let mantissa = 0;
		for (const d of whole + frac)
			mantissa = mantissa * 16 + parseInt(d, 16);
		const exponent = hex[3] === undefined ? 0 : Number(hex[3].slice(1));
		return { value: sign * mantissa * Math.pow(2, exponent - 4 * frac.length), end: at + hex[0].length - hex[4].length };
	}
	const dec = matchAt(decimal, text, at);
	if (dec === null || (dec[1] === undefined && dec[2] !== ""))
		return null;
	const number = dec[0].slice(0, dec[0].length - dec[2].length);
	return { value: Number(number), end: at + number.length };
}

// One "<Hz> <gain>" pair at pos, and the white space after it: { hz, gain,
// end } or null.
function scanPair(text, pos)
{
	const hz = scanNumber(text, pos);
	const gain = hz === null ? null : scanNumber(text, hz.end);
	if (gain === null)
		return null;
	return { hz: hz.value, gain: gain.value, end: skipSpace(text, gain.end) };
}

// The line where the breakpoint at or after pos starts (the last line when
// only white space is left).
function lineAt(text, pos)
{
	pos = skipSpace(text, pos);
	if (pos >= text.length && pos > 0)
		pos = text.length - 1;
	return 1 + countNewlines(text, 0, pos);
}

// { ok: true, normalize, points: [{ hz, gain }], unread, warnings } or
// { ok: false, line, error } with the 1-based line of the breakpoint that
// failed. reach, { rate, length }, is the filter the designer reads the
// text for; without it every pair is needed. unread is the line from which
// the text is never read (0 when it is read to its end); warnings say what
// the designer reads but cannot follow.
export function parseLayout(text, reach = null)
{
	const nul = text.indexOf("\0");
	if (nul >= 0)
		text = text.slice(0, nul);
	let normalize = false;
	let pos = 0;
	if (text.slice(0, 4).toLowerCase() === "norm") {
		normalize = true;
		const nl = text.indexOf("\n");
		pos = nl < 0 ? text.length : nl + 1;
	}
	// The highest bin: a breakpoint at or below it is followed by another.
	const top = reach === null ? Infinity : (Math.floor(reach.length / 2) * reach.rate) / reach.length;
	const points = [];
	let last = 0;
	while (last <= top && pos < text.length) {
		const p = scanPair(text, pos);
		if (p === null) {
			const hz = scanNumber(text, pos);
			const alone = hz !== null && skipSpace(text, hz.end) >= text.length;
			const blank = skipSpace(text, pos) >= text.length;
			return { ok: false, line: lineAt(text, pos),
			         error: blank ? "blank lines but no breakpoint (an empty layout is no text at all)" :
			                alone ? "a frequency without a gain" : "not a number" };
		}
		// The designer takes these, but no filter comes of them.
		if (Number.isNaN(p.hz) || !Number.isFinite(p.gain))
			return { ok: false, line: lineAt(text, pos), error: "not a finite number" };
		if (p.hz < last)
			return { ok: false, line: lineAt(text, pos),
			         error: points.length === 0 ? "a negative frequency" : "frequencies must not decrease" };
		points.push({ hz: p.hz, gain: p.gain });
		last = p.hz;
		pos = p.end;
	}
	// Past the highest bin the pairs count while they read cleanly.
	while (pos < text.length) {
		const p = scanPair(text, pos);
		if (p === null || !(p.hz >= last) || !Number.isFinite(p.gain))
			break;
		points.push({ hz: p.hz, gain: p.gain });
		last = p.hz;
		pos = p.end;
	}
	const result = { ok: true, normalize, points };
	if (reach === null)
		return result;
	result.unread = pos < text.length ? lineAt(text, pos) : 0;
	result.warnings = [];
	const beyond = points.filter((p) => p.hz > reach.rate / 2).length;
	if (beyond > 0)
		result.warnings.push(`${beyond} breakpoint${beyond === 1 ? " lies" : "s lie"} above half the rate (${reach.rate / 2} Hz): the filter follows the line toward it only up to ${reach.rate / 2} Hz`);
	if (result.unread > 0)
		result.warnings.push(`line ${result.unread} on is never read: no bin of the filter needs what follows`);
	return result;
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
