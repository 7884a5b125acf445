#include "minphase.h"

#include "halves.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <cstring>

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
	// and the grid is half the size.
	state.real = fftw_alloc_real(static_cast<size_t>(m) + 2);
	state.bins = reinterpret_cast<fftw_complex *>(state.real);
	state.spare = fftw_alloc_real(static_cast<size_t>(m / 2) + 1);
	state.spare2 = fftw_alloc_real(static_cast<size_t>(m / 2) + 1);
	// The twiddles of the last step of a transform, e^(-2 pi j k / M) for
	// k up to M/4, as products of a coarse and a fine table.
	int32_t quarter = std::max(m / 4, 1), fine = 1;
	while (static_cast<int64_t>(fine) * fine < quarter)
		fine *= 2;
	state.fine = fine;
	state.twiddles = fftw_alloc_complex(static_cast<size_t>(fine + quarter / fine + 1));
	if (state.real != nullptr && state.spare != nullptr && state.spare2 != nullptr &&
	    state.twiddles != nullptr) {
		fftw_complex *t = state.twiddles;
		for (int32_t b = 0; b < fine; b++) {
			double angle = -2 * std::numbers::pi * b / m;
			t[b][0] = std::cos(angle);
			t[b][1] = std::sin(angle);
		}
		for (int32_t a = 0; a <= quarter / fine; a++) {
			double angle = -2 * std::numbers::pi * (static_cast<double>(a) * fine) / m;
			t[fine + a][0] = std::cos(angle);
			t[fine + a][1] = std::sin(angle);
		}
		// Estimated, not measured: on a grid this large measuring would
		// cost more than the few transforms of a design. One plan serves
		// all of them (see below), so it is made once: the complex
		// transform of M/2 points, which FFTW plans in a small fraction
		// of the time a real one of M takes. The largest grids are
		// transformed in two threads: always two, whatever the machine,
		// so that a layout's taps are the same everywhere.
		bool threads = m >= minphase_threaded && fftw_init_threads() != 0;
		if (threads)
			fftw_plan_with_nthreads(2);
		state.forward = fftw_plan_dft_1d(std::max(m / 2, 1), state.bins, state.bins,
		                                 FFTW_FORWARD, FFTW_ESTIMATE);
		if (threads)
			fftw_plan_with_nthreads(1);
	}
	if (state.forward == nullptr) {
		minphase_free(state);
		return 0;
	}
	return 1;
}

namespace
{

// Every transform here is the one real-to-complex plan. A real even
// sequence's transform is real and the inverse's times M, so the cepstrum
// comes from the forward transform of the mirrored log magnitude; the
// real taps of a conjugate-symmetric spectrum R + jI come from that of
// R + I (R even and I odd): M h[n] = Re + Im of it. Between transforms,
// values go through spare and spare2 rather than being moved within the
// grid, where bins not yet read would be overwritten: so each pass over
// the grid splits in two halves done at once.

// Passes that only move values split from this many on; those that take
// logarithms or exponentials from halves_least.
constexpr size_t moves_split = size_t{1} << 16;

// The real-to-complex transform of the grid's M values, bins 0 to M/2:
// the complex transform of its M/2 pairs, then each pair of its bins k
// and M/2 - k untangled into the even and the odd samples' transforms E
// and O, recombined, X[k] = E + w O and X[M/2 - k] = conj(E - w O) with
// w = e^(-2 pi j k / M), and handed to visit(part, k, re, im), part 0 or
// 1 for the half of the pairs it is in, the two halves at once (from
// least pairs on). Only bins below below are visited. visit writes
// nowhere in the grid, whose bins other pairs are still read from.
template <class Visit>
void transform(minphase_state &g, Visit &&visit, size_t least = moves_split,
               int32_t below = INT32_MAX)
{
	fftw_execute(g.forward);
	int32_t l = g.size / 2, fine = g.fine;
	const fftw_complex *z = g.bins;
	const fftw_complex *t = g.twiddles;
	visit(0, 0, z[0][0] + z[0][1], 0.0);
	if (l < below)
		visit(0, l, z[0][0] - z[0][1], 0.0);
	auto pairs = static_cast<size_t>(std::min(l / 2, below));
	in_halves(
	        pairs,
	        [&](size_t begin, size_t end) {
		        int part = begin == 0 ? 0 : 1;
		        for (size_t i = begin; i < end; i++) {
			        auto k = static_cast<int32_t>(i) + 1, j = l - k;
			        double ar = z[k][0], ai = z[k][1], br = z[j][0], bi = z[j][1];
			        double er = 0.5 * (ar + br), ei = 0.5 * (ai - bi);
			        double odd_r = 0.5 * (ai + bi), odd_i = -0.5 * (ar - br);
			        const double *c = t[fine + k / fine], *f = t[k % fine];
			        double wr = c[0] * f[0] - c[1] * f[1],
			               wi = c[0] * f[1] + c[1] * f[0];
			        double tr = wr * odd_r - wi * odd_i, ti = wr * odd_i + wi * odd_r;
			        if (k < below)
				        visit(part, k, er + tr, ei + ti);
			        if (j != k && j < below)
				        visit(part, j, er - tr, ti - ei);
		        }
	        },
	        least);
}

// The log magnitude of taps on the grid of g, floored, made into the real
// cepstrum (times M) in g.spare[0..M/2], and how much of it lies in the
// half nearest to M/2 (where the grid's aliasing folds it over: the sum of
// |c[n]| from M/4 to M/2, over M) into *aliased. Returns false for a flat
// magnitude (or none), whose gain goes to *flat.
bool cepstrum(minphase_state &g, std::span<const double> taps, double *flat, double *aliased)
{
	int32_t m = g.size, h = m / 2;
	double *x = g.real, *spare = g.spare;
	size_t n = std::min(taps.size(), static_cast<size_t>(m));
	std::memcpy(x, taps.data(), n * sizeof(double));
	std::fill(x + n, x + m, 0.0);
	// Squared magnitudes: half the log of them is the log of the gain.
	double top[2] = {0, 0}, bottom[2] = {HUGE_VAL, HUGE_VAL};
	transform(g, [&](int part, int32_t k, double re, double im) {
		double p = re * re + im * im;
		spare[k] = p;
		top[part] = std::max(top[part], p);
		bottom[part] = std::min(bottom[part], p);
	});
	double highest = std::max(top[0], top[1]), lowest = std::min(bottom[0], bottom[1]);
	// A flat magnitude, or none at all: the taps are one impulse (within
	// rounding), and that impulse at tap 0 is the answer, exactly.
	if (!(highest > 0) || lowest >= highest * (1 - 2e-12)) {
		*flat = 0;
		for (double t : taps)
			*flat = std::max(*flat, std::fabs(t));
		return false;
	}
	double floor = highest * minphase_floor * minphase_floor;
	in_halves(static_cast<size_t>(h) + 1, [&](size_t begin, size_t end) {
		for (size_t k = begin; k < end; k++) {
			double v = 0.5 * std::log(std::max(spare[k], floor));
			x[k] = v;
			if (k > 0 && k < static_cast<size_t>(h))
				x[m - static_cast<int32_t>(k)] = v;
		}
	});
	double far[2] = {0, 0};
	transform(g, [&](int part, int32_t k, double re, double) {
		spare[k] = re;
		if (k >= h / 2)
			far[part] += std::fabs(re);
	});
	*aliased = (far[0] + far[1]) / m;
	return true;
}

// From the cepstrum in g.spare, the minimum-phase filter into taps.
void synthesize(minphase_state &g, std::span<double> taps, double sign)
{
	int32_t m = g.size, h = m / 2;
	double *x = g.real, *spare = g.spare, *spare2 = g.spare2;
	// Folded: c[0] and c[M/2] once, the causal half twice, the
	// anti-causal half gone; 1/M taken here.
	double scale = 1.0 / m;
	in_halves(
	        static_cast<size_t>(m),
	        [&](size_t begin, size_t end) {
		        for (size_t i = begin; i < end; i++) {
			        auto j = static_cast<int32_t>(i);
			        x[i] = j == 0 || j == h ? spare[i] * scale
			               : j < h          ? spare[i] * (2 * scale)
			                                : 0.0;
		        }
	        },
	        moves_split);

	// Its transform is the log of the minimum-phase response; its
	// exponential, as R + I and R - I, transformed, gives the taps.
	double factor = scale * sign;
	transform(
	        g,
	        [&](int, int32_t k, double re, double im) {
		        double a = std::exp(re) * factor;
		        double r = a * std::cos(im), i = a * std::sin(im);
		        spare[k] = r + i;
		        spare2[k] = r - i;
	        },
	        halves_least);
	in_halves(
	        static_cast<size_t>(h) + 1,
	        [&](size_t begin, size_t end) {
		        for (size_t k = begin; k < end; k++) {
			        x[k] = spare[k];
			        if (k > 0 && k < static_cast<size_t>(h))
				        x[m - static_cast<int32_t>(k)] = spare2[k];
		        }
	        },
	        moves_split);
	auto n = static_cast<int32_t>(std::min(taps.size(), static_cast<size_t>(h)));
	transform(
	        g,
	        [&](int, int32_t k, double re, double im) {
		        taps[static_cast<size_t>(k)] = re + im;
	        },
	        moves_split, n);
}

} // namespace

void minphase_from(minphase_state &state, std::span<double> taps, double sign)
{
	double gain = 0, aliased = 0;
	if (!cepstrum(state, taps, &gain, &aliased)) {
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
			cepstrum(finer, taps, &gain, &aliased);
			have = true;
			if (!(aliased > minphase_aliasing))
				break;
		}
		if (have) {
			synthesize(finer, taps, sign);
			minphase_free(finer);
			return;
		}
		// No memory for a finer grid: the state's, redone.
		cepstrum(state, taps, &gain, &aliased);
	}
	synthesize(state, taps, sign);
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
