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
	state.spare = fftw_alloc_real(static_cast<size_t>(m / 2));
	if (state.real != nullptr && state.spare != nullptr) {
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
// R + I (R even and I odd): M h[n] = Re + Im of it.

// The log magnitude of taps on the grid of g, floored, made into the real
// cepstrum (times M) in g.real[0..M/2]. Returns false for a flat
// magnitude (or none), whose gain goes to *flat.
bool cepstrum(minphase_state &g, std::span<const double> taps, double *flat)
{
	int32_t m = g.size, h = m / 2;
	double *x = g.real;
	fftw_complex *bins = g.bins;
	size_t n = std::min(taps.size(), static_cast<size_t>(m));
	std::memcpy(x, taps.data(), n * sizeof(double));
	std::fill(x + n, x + m, 0.0);
	fftw_execute(g.forward);
	// Squared magnitudes: half the log of them is the log of the gain.
	// (x[k] is written where bin k or one before it lay, all read.)
	double top = 0, bottom = HUGE_VAL;
	for (int32_t k = 0; k <= h; k++) {
		double p = bins[k][0] * bins[k][0] + bins[k][1] * bins[k][1];
		x[k] = p;
		top = std::max(top, p);
		bottom = std::min(bottom, p);
	}
	// A flat magnitude, or none at all: the taps are one impulse (within
	// rounding), and that impulse at tap 0 is the answer, exactly.
	if (!(top > 0) || bottom >= top * (1 - 2e-12)) {
		*flat = 0;
		for (double t : taps)
			*flat = std::max(*flat, std::fabs(t));
		return false;
	}
	double floor = top * minphase_floor * minphase_floor;
	in_halves(static_cast<size_t>(h) + 1, [x, floor](size_t begin, size_t end) {
		for (size_t k = begin; k < end; k++)
			x[k] = 0.5 * std::log(std::max(x[k], floor));
	});
	for (int32_t k = 1; k < h; k++)
		x[m - k] = x[k];
	fftw_execute(g.forward);
	for (int32_t i = 0; i <= h; i++)
		x[i] = bins[i][0];
	return true;
}

// How much of the cepstrum lies in the half of it nearest to M/2, where
// the grid's aliasing folds it over: the sum of |c[n]| for n from M/4 to
// M/2.
double aliased(const minphase_state &g)
{
	int32_t h = g.size / 2;
	double sum = 0;
	for (int32_t i = h / 2; i <= h; i++)
		sum += std::fabs(g.real[i]);
	return sum / g.size;
}

// From the cepstrum in g.real, the minimum-phase filter into taps.
void synthesize(minphase_state &g, std::span<double> taps, double sign)
{
	int32_t m = g.size, h = m / 2;
	double *x = g.real;
	fftw_complex *bins = g.bins;
	// Folded: c[0] and c[M/2] once, the causal half twice, the
	// anti-causal half gone; 1/M taken here.
	double scale = 1.0 / m;
	x[0] *= scale;
	for (int32_t i = 1; i < h; i++)
		x[i] *= 2 * scale;
	x[h] *= scale;
	std::fill(x + h + 1, x + m, 0.0);

	// Its transform is the log of the minimum-phase response; its
	// exponential, as R + I and R - I, transformed, gives the taps.
	fftw_execute(g.forward);
	// R + I and R - I in bin k's place; then R + I goes where bin k or
	// one before it lay, all read, and R - I waits in spare, since its
	// place holds bins not yet read.
	double factor = scale * sign;
	in_halves(static_cast<size_t>(h) + 1, [bins, factor](size_t begin, size_t end) {
		for (size_t k = begin; k < end; k++) {
			double a = std::exp(bins[k][0]) * factor;
			double phi = bins[k][1];
			double re = a * std::cos(phi), im = a * std::sin(phi);
			bins[k][0] = re + im;
			bins[k][1] = re - im;
		}
	});
	for (int32_t k = 0; k <= h; k++) {
		double sum = bins[k][0];
		if (k < h)
			g.spare[k] = bins[k][1];
		x[k] = sum;
	}
	for (int32_t k = 1; k < h; k++)
		x[m - k] = g.spare[k];
	fftw_execute(g.forward);
	size_t n = std::min(taps.size(), static_cast<size_t>(h));
	for (size_t i = 0; i < n; i++)
		taps[i] = bins[i][0] + bins[i][1];
}

} // namespace

void minphase_from(minphase_state &state, std::span<double> taps, double sign)
{
	double gain = 0;
	if (!cepstrum(state, taps, &gain)) {
		std::fill(taps.begin(), taps.end(), 0.0);
		if (!taps.empty())
			taps[0] = sign * gain;
		return;
	}
	// Steep features (stop bands, notches) leave a long cepstrum: on a
	// grid four times finer at a time, up to minphase_finest points, on
	// a grid of this call only, so that the taps of a layout never depend
	// on what was designed before.
	if (aliased(state) > minphase_aliasing && state.size < minphase_finest) {
		minphase_state finer;
		int32_t size = state.size;
		bool have = false;
		while (size < minphase_finest) {
			size = std::min(size * 4, minphase_finest);
			if (minphase_init(finer, state.length, size) == 0)
				break;
			cepstrum(finer, taps, &gain);
			have = true;
			if (!(aliased(finer) > minphase_aliasing))
				break;
		}
		if (have) {
			synthesize(finer, taps, sign);
			minphase_free(finer);
			return;
		}
		// No memory for a finer grid: the state's, redone.
		cepstrum(state, taps, &gain);
	}
	synthesize(state, taps, sign);
}

void minphase_free(minphase_state &state)
{
	if (state.forward != nullptr)
		fftw_destroy_plan(state.forward);
	fftw_free(state.real);
	fftw_free(state.spare);
	state = minphase_state{};
}
