#include "minphase.h"

#include "halves.h"

#include <algorithm>
#include <cmath>
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
	if (state.real != nullptr && state.spare != nullptr && state.spare2 != nullptr) {
		// Estimated, not measured: on a grid this large measuring would
		// cost more than the few transforms of a design. One plan serves
		// all of them (see below), so it is made once. The largest grids
		// are transformed in two threads: always two, whatever the
		// machine, so that a layout's taps are the same everywhere.
		bool threads = m >= minphase_threaded && fftw_init_threads() != 0;
		if (threads)
			fftw_plan_with_nthreads(2);
		state.forward = fftw_plan_dft_r2c_1d(m, state.real, state.bins,
		                                     FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
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

// The log magnitude of taps on the grid of g, floored, made into the real
// cepstrum (times M) in g.spare[0..M/2], and how much of it lies in the
// half nearest to M/2 (where the grid's aliasing folds it over: the sum of
// |c[n]| from M/4 to M/2, over M) into *aliased. Returns false for a flat
// magnitude (or none), whose gain goes to *flat.
bool cepstrum(minphase_state &g, std::span<const double> taps, double *flat, double *aliased)
{
	int32_t m = g.size, h = m / 2;
	double *x = g.real, *spare = g.spare;
	const fftw_complex *bins = g.bins;
	size_t n = std::min(taps.size(), static_cast<size_t>(m));
	std::memcpy(x, taps.data(), n * sizeof(double));
	std::fill(x + n, x + m, 0.0);
	fftw_execute(g.forward);
	// Squared magnitudes: half the log of them is the log of the gain.
	auto half = static_cast<size_t>(h) + 1;
	double top[2] = {0, 0}, bottom[2] = {HUGE_VAL, HUGE_VAL};
	in_halves(
	        half,
	        [&](size_t begin, size_t end) {
		        int part = begin == 0 ? 0 : 1;
		        for (size_t k = begin; k < end; k++) {
			        double p = bins[k][0] * bins[k][0] + bins[k][1] * bins[k][1];
			        spare[k] = p;
			        top[part] = std::max(top[part], p);
			        bottom[part] = std::min(bottom[part], p);
		        }
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
	double floor = highest * minphase_floor * minphase_floor;
	in_halves(half, [&](size_t begin, size_t end) {
		for (size_t k = begin; k < end; k++) {
			double v = 0.5 * std::log(std::max(spare[k], floor));
			x[k] = v;
			if (k > 0 && k < static_cast<size_t>(h))
				x[m - static_cast<int32_t>(k)] = v;
		}
	});
	fftw_execute(g.forward);
	double far[2] = {0, 0};
	auto from = static_cast<size_t>(h / 2);
	in_halves(
	        half,
	        [&](size_t begin, size_t end) {
		        double sum = 0;
		        for (size_t i = begin; i < end; i++) {
			        spare[i] = bins[i][0];
			        if (i >= from)
				        sum += std::fabs(spare[i]);
		        }
		        far[begin == 0 ? 0 : 1] = sum;
	        },
	        moves_split);
	*aliased = (far[0] + far[1]) / m;
	return true;
}

// From the cepstrum in g.spare, the minimum-phase filter into taps.
void synthesize(minphase_state &g, std::span<double> taps, double sign)
{
	int32_t m = g.size, h = m / 2;
	double *x = g.real, *spare = g.spare, *spare2 = g.spare2;
	const fftw_complex *bins = g.bins;
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
	fftw_execute(g.forward);
	double factor = scale * sign;
	auto half = static_cast<size_t>(h) + 1;
	in_halves(half, [&](size_t begin, size_t end) {
		for (size_t k = begin; k < end; k++) {
			double a = std::exp(bins[k][0]) * factor;
			double phi = bins[k][1];
			double re = a * std::cos(phi), im = a * std::sin(phi);
			spare[k] = re + im;
			spare2[k] = re - im;
		}
	});
	in_halves(
	        half,
	        [&](size_t begin, size_t end) {
		        for (size_t k = begin; k < end; k++) {
			        x[k] = spare[k];
			        if (k > 0 && k < static_cast<size_t>(h))
				        x[m - static_cast<int32_t>(k)] = spare2[k];
		        }
	        },
	        moves_split);
	fftw_execute(g.forward);
	size_t n = std::min(taps.size(), static_cast<size_t>(h));
	for (size_t i = 0; i < n; i++)
		taps[i] = bins[i][0] + bins[i][1];
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
	state = minphase_state{};
}
