// The plot's two scales: frequency on a logarithmic axis, gain in dB on a
// linear one, both in the plot's own pixels, and the ticks that label them.
// No DOM here.

// A scale from the frequency range [fmin, fmax] Hz to x in [x0, x1] and
// from [dbTop, dbBottom] dB to y in [y0, y1] (y grows downwards).
export function makeScale(fmin, fmax, x0, x1, dbTop, dbBottom, y0, y1)
{
	return { fmin, fmax, x0, x1, dbTop, dbBottom, y0, y1, octaves: Math.log(fmax / fmin) };
}

export function hzToX(s, hz)
{
	return s.x0 + ((s.x1 - s.x0) * Math.log(hz / s.fmin)) / s.octaves;
}

export function xToHz(s, x)
{
	return s.fmin * Math.exp(((x - s.x0) * s.octaves) / (s.x1 - s.x0));
}

// -Infinity (a gain of 0) and anything below the bottom land on the bottom
// edge, anything above the top on the top edge.
export function dbToY(s, db)
{
	const clamped = Math.min(Math.max(db, s.dbBottom), s.dbTop);
	return s.y0 + ((s.y1 - s.y0) * (s.dbTop - clamped)) / (s.dbTop - s.dbBottom);
}

// The same without the clamp: values beyond the axis land beyond its
// edges (-Infinity far below), where the plot's clip hides them.
export function dbToYBeyond(s, db)
{
	const h = s.y1 - s.y0;
	const y = s.y0 + (h * (s.dbTop - db)) / (s.dbTop - s.dbBottom);
	return Math.min(Math.max(y, s.y0 - 4 * h), s.y1 + 4 * h);
}

export function yToDb(s, y)
{
	return s.dbTop - ((y - s.y0) * (s.dbTop - s.dbBottom)) / (s.y1 - s.y0);
}

// 20, 50, 100, 200, 500, 1k ... within [fmin, fmax].
export function frequencyTicks(fmin, fmax)
{
	const ticks = [];
	for (let decade = 10; decade <= fmax; decade *= 10)
		for (const m of [1, 2, 5]) {
			const f = decade * m;
			if (f >= fmin && f <= fmax && f >= 20)
				ticks.push(f);
		}
	return ticks;
}

// "20", "500", "1k", "2.5k", "20k".
export function formatHz(hz)
{
	if (hz >= 1000)
		return `${Number((hz / 1000).toPrecision(3))}k`;
	return `${Number(hz.toPrecision(3))}`;
}

// The dB range that shows every finite value given and [-6, 6] at least:
// whole 6 dB steps with one step of room above, at most 60 dB tall.
export function dbRange(values)
{
	let lo = -6, hi = 6;
	for (const v of values)
		if (Number.isFinite(v)) {
			lo = Math.min(lo, v);
			hi = Math.max(hi, v);
		}
	const top = 6 * Math.ceil(hi / 6 - 1e-9) + 6;
	let bottom = 6 * Math.floor(lo / 6 + 1e-9) - 6;
	bottom = Math.max(bottom, top - 60);
	return { top, bottom };
}

// Every multiple of step from bottom to top.
export function dbTicks(bottom, top, step = 6)
{
	const ticks = [];
	for (let d = Math.ceil(bottom / step) * step; d <= top + 1e-9; d += step)
		ticks.push(d);
	return ticks;
}
