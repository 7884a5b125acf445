#include "minphase.h"

#include "halves.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

int32_t minphase_grid(int32_t length)
{
	int64_t want = static_cast<int64_t>(length) * minphase_oversampling;
	int64_t size = 2;
	while (size < want)
		size *= 2;
	return size > INT32_MAX ? 0 : static_cast<int32_t>(size);
}

int minphase_init(minphase_state &state, int32_t length, int32_t size)
{
	minphase_free(state);
	int32_t m = size > 0 ? size : length >= 1 ? minphase_grid(length) : 0;
	if (m == 0)
		return 0;
	state.length = length;
	state.size = m;
	// In place: the bins take the grid's memory, a transform runs faster
	// and the grid is half the size. Every transform is of M/2 values.
	state.real = fftw_alloc_real(static_cast<size_t>(m / 2) + 2);
	state.bins = reinterpret_cast<fftw_complex *>(state.real);
	state.spare = fftw_alloc_real(static_cast<size_t>(m / 2) + 1);
	state.spare2 = fftw_alloc_real(static_cast<size_t>(m / 2) + 1);
	// The twiddles of the last two steps of a transform, e^(-2 pi j k / M)
	// for k up to M/2, as products of a coarse and a fine table.
	int32_t half = std::max(m / 2, 1), fine = 1;
	while (static_cast<int64_t>(fine) * fine < half)
		fine *= 2;
	state.fine = fine;
	state.twiddles = fftw_alloc_complex(static_cast<size_t>(fine + half / fine + 1));
	if (state.real != nullptr && state.spare != nullptr && state.spare2 != nullptr &&
	    state.twiddles != nullptr) {
		fftw_complex *t = state.twiddles;
		for (int32_t b = 0; b < fine; b++) {
			double angle = -2 * std::numbers::pi * b / m;
			t[b][0] = std::cos(angle);
			t[b][1] = std::sin(angle);
		}
		for (int32_t a = 0; a <= half / fine; a++) {
			double angle = -2 * std::numbers::pi * (static_cast<double>(a) * fine) / m;
			t[fine + a][0] = std::cos(angle);
			t[fine + a][1] = std::sin(angle);
		}
		// Estimated, not measured: on a grid this large measuring would
		// cost more than the few transforms of a design. One plan serves
		// all of them (see below): the complex transform of M/8 points,
		// which FFTW plans in a small fraction of the time a real one of M
		// takes. It runs on the two halves of the grid, which may be
		// apart by less than the alignment FFTW plans for.
		int32_t eighth = std::max(m / 8, 1);
		state.forward =
		        fftw_plan_dft_1d(eighth, state.bins, state.bins, FFTW_FORWARD,
		                         FFTW_ESTIMATE | (eighth % 4 != 0 ? FFTW_UNALIGNED : 0u));
	}
	if (state.forward == nullptr) {
		minphase_free(state);
		return 0;
	}
	return 1;
}

namespace
{

// The grid's transforms are real ones of M/2 points, each done as the
// complex transform of its pairs, untangled. The taps are a linear-phase
// design's, symmetric, so their gain on the grid is a cosine transform;
// the log magnitude is even, so the cepstrum is its cosine transform;
// folded, its transform's imaginary part, the phase, is a sine transform
// of it; and the taps, causal, are twice the even part of the sequence
// whose transform is the spectrum's real part, a cosine transform again.
// Each is half the size of the grid's full transform.

// Passes that only move values split in two from this many on; those
// that take logarithms or cosines from costly_split.
constexpr size_t moves_split = size_t{1} << 13;
constexpr size_t costly_split = size_t{1} << 12;

constexpr double inverse_factorial(int n)
{
	double f = 1;
	for (int i = 2; i <= n; i++)
		f *= i;
	return 1 / f;
}

// cos x, within a few units in the last place for |x| up to 2^20 (the
// phases here are a few radians): x less the nearest multiple q of pi/2
// (taken in three parts, each product exact), then the series of cos or
// sin of the rest r, |r| <= pi/4, to the 16th and 17th powers (what is
// left is below 1e-17), as q mod 4 says. Without branches, so that a loop
// of it vectorizes: twice as fast as the library's here.
inline double cos_of(double x)
{
	constexpr double shifter = 0x1.8p52;
	constexpr double part1 = 1.5707963267341256, part2 = 6.077100506303966e-11,
	                 part3 = 2.0222662487959506e-21;
	constexpr double f2 = inverse_factorial(2), f3 = inverse_factorial(3),
	                 f4 = inverse_factorial(4), f5 = inverse_factorial(5),
	                 f6 = inverse_factorial(6), f7 = inverse_factorial(7),
	                 f8 = inverse_factorial(8), f9 = inverse_factorial(9),
	                 f10 = inverse_factorial(10), f11 = inverse_factorial(11),
	                 f12 = inverse_factorial(12), f13 = inverse_factorial(13),
	                 f14 = inverse_factorial(14), f15 = inverse_factorial(15),
	                 f16 = inverse_factorial(16), f17 = inverse_factorial(17);
	double v = x * (2 / std::numbers::pi) + shifter;
	uint64_t quadrant = std::bit_cast<uint64_t>(v) & 3;
	double q = v - shifter;
	double r = ((x - q * part1) - q * part2) - q * part3, z = r * r;
	double c = 1 +
	           z * (-f2 +
	                z * (f4 +
	                     z * (-f6 + z * (f8 + z * (-f10 + z * (f12 + z * (-f14 + z * f16)))))));
	double s =
	        r +
	        r * z *
	                (-f3 +
	                 z * (f5 + z * (-f7 +
	                                z * (f9 + z * (-f11 + z * (f13 + z * (-f15 + z * f17)))))));
	// cos r, -sin r, -cos r, sin r.
	uint64_t sine = 0 - (quadrant & 1), negative = ((quadrant + 1) & 2) << 62;
	uint64_t pick = (std::bit_cast<uint64_t>(s) & sine) | (std::bit_cast<uint64_t>(c) & ~sine);
	return std::bit_cast<double>(pick ^ negative);
}

// e^(-2 pi j k / M), for k from 0 to M/2, from the coarse and fine tables.
inline void twiddle(const minphase_state &g, int32_t k, double &re, double &im)
{
	const double *c = g.twiddles[g.fine + k / g.fine], *f = g.twiddles[k % g.fine];
	re = c[0] * f[0] - c[1] * f[1];
	im = c[0] * f[1] + c[1] * f[0];
}

// Where the real transform of M/2 points (h of them) finds its value j
// in the grid: the complex transform of its pairs is done as those of
// the even and the odd pairs, each in a half of the grid.
inline size_t slot(int32_t j, int32_t h)
{
	auto u = static_cast<size_t>(j);
	return ((u >> 1) & 1) * static_cast<size_t>(h / 2) + ((u >> 2) << 1) + (u & 1);
}

// The real-to-complex transform of the grid's M/2 values, put where slot
// says: the complex transforms E and O of their even and odd pairs, in
// place (the two at once on the largest grids), combined into that of
// all l = M/4 pairs, Z[k] = E[k] + v O[k] and Z[k + l/2] = E[k] - v O[k]
// with v = e^(-2 pi j k / l); each pair of its bins k and l - k untangled
// into the even and the odd values' transforms, recombined,
// X[k] = E' + w O' and X[l - k] = conj(E' - w O') with
// w = e^(-2 pi j k / (M/2)), and handed to visit(k, re, im), the two
// halves of the pairs at once (from moves_split pairs on). Only bins below
// below are visited. visit writes nowhere in the grid, whose bins other
// pairs are still read from.
template <class Visit> void transform(minphase_state &g, Visit &&visit, int32_t below = INT32_MAX)
{
	int32_t l = g.size / 4, q = l / 2, stride = 2, step = 4;
	fftw_plan plan = g.forward;
	fftw_complex *e = g.bins, *o = g.bins + q;
	in_halves(
	        *g.crew, 2,
	        [&](size_t begin, size_t end) {
		        for (size_t i = begin; i < end; i++)
			        fftw_execute_dft(plan, i == 0 ? e : o, i == 0 ? e : o);
	        },
	        2);
	visit(0, e[0][0] + o[0][0] + e[0][1] + o[0][1], 0.0);
	if (l < below)
		visit(l, e[0][0] + o[0][0] - e[0][1] - o[0][1], 0.0);
	auto pairs = static_cast<size_t>(std::min(q, below));
	in_halves(
	        *g.crew, pairs,
	        [&](size_t begin, size_t end) {
		        for (size_t i = begin; i < end; i++) {
			        auto k = static_cast<int32_t>(i) + 1, j = l - k;
			        double ar, ai, br, bi;
			        if (k < q) {
				        // Z[l - k] = E[q - k] + conj(v) O[q - k].
				        double vr, vi;
				        twiddle(g, k * step, vr, vi);
				        const double *ek = e[k], *ok = o[k], *ej = e[q - k],
				                     *oj = o[q - k];
				        ar = ek[0] + (vr * ok[0] - vi * ok[1]);
				        ai = ek[1] + (vr * ok[1] + vi * ok[0]);
				        br = ej[0] + (vr * oj[0] + vi * oj[1]);
				        bi = ej[1] + (vr * oj[1] - vi * oj[0]);
			        } else {
				        ar = br = e[0][0] - o[0][0];
				        ai = bi = e[0][1] - o[0][1];
			        }
			        double er = 0.5 * (ar + br), ei = 0.5 * (ai - bi);
			        double odd_r = 0.5 * (ai + bi), odd_i = -0.5 * (ar - br);
			        double wr, wi;
			        twiddle(g, k * stride, wr, wi);
			        double tr = wr * odd_r - wi * odd_i, ti = wr * odd_i + wi * odd_r;
			        if (k < below)
				        visit(k, er + tr, ei + ti);
			        if (j != k && j < below)
				        visit(j, er - tr, ti - ei);
		        }
	        },
	        moves_split);
}

// The cosine transform of x[0..h] (h = M/2), x[j] given by value(j), each
// once: Y[k] = x[0] + (-1)^k x[h] + 2 (the sum over 0 < j < h of
// x[j] cos(pi j k / h)), the grid's transform of the even sequence x,
// into out[0..count) (count at most h + 1). It is the real transform of h
// points of y[j] = (x[j] + x[h-j])/2 - sin(pi j/h) (x[j] - x[h-j]): with
// its bins R + jI, Y[2m] = 2 R[m] and Y[2m+1] = Y[2m-1] - 2 I[m], from
// Y[1], the sum over j < h of (x[j] - x[h-j]) cos(pi j/h). value is read
// before out is written.
template <class Value> void cosine(minphase_state &g, Value &&value, double *out, int32_t count)
{
	int32_t h = g.size / 2;
	double *y = g.real;
	double first[2] = {0, 0};
	// The pairs j and h - j, for j from 0 to h/2.
	in_halves(
	        *g.crew, static_cast<size_t>(h / 2) + 1,
	        [&](size_t begin, size_t end) {
		        double sum = 0;
		        for (size_t i = begin; i < end; i++) {
			        auto j = static_cast<int32_t>(i);
			        double a = value(j);
			        if (j == 0) {
				        double b = value(h);
				        y[0] = 0.5 * (a + b);
				        sum += a - b;
			        } else if (2 * j == h) {
				        y[slot(j, h)] = a;
			        } else {
				        double b = value(h - j), c, s;
				        twiddle(g, j, c, s);
				        double u = 0.5 * (a + b), v = a - b;
				        y[slot(j, h)] = u + s * v;
				        y[slot(h - j, h)] = u - s * v;
				        sum += 2 * c * v;
			        }
		        }
		        first[begin == 0 ? 0 : 1] = sum;
	        },
	        moves_split);
	transform(
	        g,
	        [&](int32_t m, double re, double im) {
		        if (2 * m < count)
			        out[2 * m] = 2 * re;
		        if (2 * m + 1 < count)
			        out[2 * m + 1] = im;
	        },
	        (count + 1) / 2);
	if (count > 1)
		out[1] = first[0] + first[1];
	for (int32_t k = 3; k < count; k += 2)
		out[k] = out[k - 2] - 2 * out[k];
}

// The sine transform of x[1..h-1] (h = M/2), x[j] given by value(j), each
// once: S[k] = the sum over 0 < j < h of x[j] sin(pi j k / h), into
// out[0..count). It is the real transform of h points of
// y[j] = sin(pi j/h) (x[j] + x[h-j]) + (x[j] - x[h-j])/2, y[0] = 0: with
// its bins R + jI, S[2m] = -I[m] and S[2m+1] = S[2m-1] + R[m], from
// S[1] = R[0]/2. value is read before out is written.
template <class Value> void sine(minphase_state &g, Value &&value, double *out, int32_t count)
{
	int32_t h = g.size / 2;
	double *y = g.real;
	in_halves(
	        *g.crew, static_cast<size_t>(h / 2) + 1,
	        [&](size_t begin, size_t end) {
		        for (size_t i = begin; i < end; i++) {
			        auto j = static_cast<int32_t>(i);
			        if (j == 0) {
				        y[0] = 0;
			        } else if (2 * j == h) {
				        y[slot(j, h)] = 2 * value(j);
			        } else {
				        double a = value(j), b = value(h - j), c, s;
				        twiddle(g, j, c, s);
				        double u = -s * (a + b), v = 0.5 * (a - b);
				        y[slot(j, h)] = u + v;
				        y[slot(h - j, h)] = u - v;
			        }
		        }
	        },
	        moves_split);
	transform(
	        g,
	        [&](int32_t m, double re, double im) {
		        if (2 * m < count)
			        out[2 * m] = -im;
		        if (2 * m + 1 < count)
			        out[2 * m + 1] = re;
	        },
	        (count + 1) / 2);
	if (count > 1)
		out[1] *= 0.5;
	for (int32_t k = 3; k < count; k += 2)
		out[k] += out[k - 2];
}

// Whether taps are symmetric about tap n/2 (n of them), as a linear-phase
// design makes them: tap n/2 - k equal to tap n/2 + k, tap 0 zero when n
// is even.
bool symmetric(std::span<const double> taps)
{
	size_t n = taps.size(), c = n / 2;
	for (size_t k = 1; k <= c && c + k < n; k++)
		if (taps[c - k] != taps[c + k])
			return false;
	return n % 2 == 1 || taps[0] == 0;
}

// The taps' magnitudes on the grid, bins 0 to M/2, into powers: their
// gains (true returned) for symmetric taps, the cosine transform of the
// taps from the centre on; otherwise their squares, the even bins from
// the real transform of the taps, the odd ones from those of the taps
// times the real and imaginary parts of e^(-2 pi j i / M). Only the first
// M/2 taps are read (the grid is at least 8 times their number).
bool powers_of(minphase_state &g, std::span<const double> taps, double *powers)
{
	int32_t h = g.size / 2;
	auto n = static_cast<int32_t>(std::min(taps.size(), static_cast<size_t>(h)));
	if (symmetric(taps.first(static_cast<size_t>(n)))) {
		int32_t c = n / 2;
		cosine(
		        g,
		        [&](int32_t j) {
			        return c + j < n ? taps[static_cast<size_t>(c + j)] : 0.0;
		        },
		        powers, h + 1);
		return true;
	}
	double *x = g.real, *odd = g.spare;
	auto put = [&](auto weight) {
		std::fill(x, x + h, 0.0);
		for (int32_t i = 0; i < n; i++)
			x[slot(i, h)] = taps[static_cast<size_t>(i)] * weight(i);
	};
	auto twiddled = [&](int32_t i, int part) {
		double re, im;
		twiddle(g, i, re, im);
		return part == 0 ? re : im;
	};
	put([](int32_t) { return 1.0; });
	transform(g, [&](int32_t k, double re, double im) { powers[2 * k] = re * re + im * im; });
	put([&](int32_t i) { return twiddled(i, 0); });
	transform(g, [&](int32_t k, double re, double im) {
		if (2 * k + 1 < h) {
			odd[2 * k] = re;
			odd[2 * k + 1] = im;
		}
	});
	put([&](int32_t i) { return twiddled(i, 1); });
	transform(g, [&](int32_t k, double re, double im) {
		if (2 * k + 1 < h) {
			double r = odd[2 * k] - im, i = odd[2 * k + 1] + re;
			powers[2 * k + 1] = r * r + i * i;
		}
	});
	return false;
}

// The taps' squared magnitudes on the grid into g.spare2[0..M/2]; the
// log magnitude, floored, made into the real cepstrum (times M) in
// g.spare[0..M/2], and how much of it lies in the half nearest to M/2
// (where the grid's aliasing folds it over: the sum of |c[n]| from M/4 to
// M/2, over M) into *aliased; the floor of the squares into *floor.
// Returns false for a flat magnitude (or none), whose gain goes to *flat.
bool cepstrum(minphase_state &g, std::span<const double> taps, double *flat, double *aliased,
              double *floor)
{
	int32_t m = g.size, h = m / 2;
	double *powers = g.spare2;
	bool gains = powers_of(g, taps, powers);
	double top[2] = {0, 0}, bottom[2] = {HUGE_VAL, HUGE_VAL};
	in_halves(
	        *g.crew, static_cast<size_t>(h) + 1,
	        [&](size_t begin, size_t end) {
		        double high = 0, low = HUGE_VAL;
		        for (size_t k = begin; k < end; k++) {
			        double p = gains ? powers[k] * powers[k] : powers[k];
			        powers[k] = p;
			        high = std::max(high, p);
			        low = std::min(low, p);
		        }
		        top[begin == 0 ? 0 : 1] = high;
		        bottom[begin == 0 ? 0 : 1] = low;
	        },
	        moves_split);
	double highest = std::max(top[0], top[1]), lowest = std::min(bottom[0], bottom[1]);
	// A flat magnitude, or none at all: the taps are one impulse (within
	// rounding), and that impulse at tap 0 is the answer, exactly.
	if (!(highest > 0) || lowest >= highest * (1 - 2e-12)) {
		*flat = 0;
		for (double t : taps)
			*flat = std::max(*flat, std::fabs(t));
		return false;
	}
	// Squared magnitudes: half the log of them is the log of the gain.
	double least = highest * minphase_floor * minphase_floor;
	*floor = least;
	double *logs = g.spare;
	in_halves(
	        *g.crew, static_cast<size_t>(h) + 1,
	        [&](size_t begin, size_t end) {
		        for (size_t k = begin; k < end; k++)
			        logs[k] = 0.5 * std::log(std::max(powers[k], least));
	        },
	        costly_split);
	cosine(
	        g, [&](int32_t k) { return logs[k]; }, g.spare, h + 1);
	double far[2] = {0, 0};
	const double *c = g.spare;
	in_halves(
	        *g.crew, static_cast<size_t>(h - h / 2) + 1,
	        [&](size_t begin, size_t end) {
		        double sum = 0;
		        for (size_t i = begin; i < end; i++)
			        sum += std::fabs(c[static_cast<size_t>(h / 2) + i]);
		        far[begin == 0 ? 0 : 1] = sum;
	        },
	        moves_split);
	*aliased = (far[0] + far[1]) / m;
	return true;
}

// From the cepstrum in g.spare and the squared magnitudes in g.spare2
// (floored at floor), the minimum-phase filter into taps: its phase is
// minus twice the sine transform of the cepstrum, over M; the real part
// of its spectrum the magnitude times the phase's cosine, whose cosine
// transform, over M, is the filter's even part: twice that from tap 1 on.
void synthesize(minphase_state &g, std::span<double> taps, double sign, double floor)
{
	int32_t m = g.size, h = m / 2;
	double *phase = g.spare, *powers = g.spare2;
	sine(
	        g, [&](int32_t j) { return g.spare[j]; }, phase, h + 1);
	double scale = 2.0 / m;
	auto n = static_cast<int32_t>(std::min(taps.size(), static_cast<size_t>(h)));
	double *real = g.spare;
	in_halves(
	        *g.crew, static_cast<size_t>(h) + 1,
	        [&](size_t begin, size_t end) {
		        for (size_t k = begin; k < end; k++)
			        real[k] = std::sqrt(std::max(powers[k], floor)) *
			                  cos_of(scale * phase[k]);
	        },
	        costly_split);
	double *even = g.spare;
	cosine(
	        g, [&](int32_t k) { return real[k]; }, even, n);
	double factor = sign / m;
	for (int32_t k = 0; k < n; k++)
		taps[static_cast<size_t>(k)] = even[k] * (k == 0 ? factor : 2 * factor);
	std::fill(taps.begin() + n, taps.end(), 0.0);
}

} // namespace

void minphase_from(minphase_state &state, std::span<double> taps, double sign)
{
	team crew(state.size >= minphase_threaded);
	struct crewed {
		minphase_state &s;
		~crewed() { s.crew = nullptr; }
	} guard{state};
	state.crew = &crew;
	double gain = 0, aliased = 0, floor = 0;
	if (!cepstrum(state, taps, &gain, &aliased, &floor)) {
		std::fill(taps.begin(), taps.end(), 0.0);
		if (!taps.empty())
			taps[0] = sign * gain;
		return;
	}
	// Steep features (stop bands, notches) leave a long cepstrum: on a
	// grid four times finer at a time, up to minphase_finest points, on
	// a grid of this call only, so that the taps of a layout never depend
	// on what was designed before.
	if (state.size < minphase_finest && aliased > minphase_aliasing) {
		minphase_state finer;
		int32_t size = state.size;
		bool have = false;
		while (size < minphase_finest) {
			size = std::min(size * 4, minphase_finest);
			if (minphase_init(finer, state.length, size) == 0)
				break;
			finer.crew = &crew;
			cepstrum(finer, taps, &gain, &aliased, &floor);
			have = true;
			if (!(aliased > minphase_aliasing))
				break;
		}
		if (have) {
			synthesize(finer, taps, sign, floor);
			minphase_free(finer);
			return;
		}
		// No memory for a finer grid: the state's, redone.
		cepstrum(state, taps, &gain, &aliased, &floor);
	}
	synthesize(state, taps, sign, floor);
}

void minphase_free(minphase_state &state)
{
	if (state.forward != nullptr)
		fftw_destroy_plan(state.forward);
	fftw_free(state.real);
	fftw_free(state.spare);
	fftw_free(state.spare2);
	fftw_free(state.twiddles);
	state = minphase_state{};
}
