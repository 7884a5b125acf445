#include "minphase.h"

#include <algorithm>
#include <cmath>
#include <cstring>

int32_t minphase_grid(int32_t length)
{
	int64_t want = std::max(static_cast<int64_t>(length) * minphase_oversampling,
	                        static_cast<int64_t>(minphase_least_grid));
	int64_t size = 2;
	while (size < want)
		size *= 2;
	return size > INT32_MAX ? 0 : static_cast<int32_t>(size);
}

int minphase_init(minphase_state &state, int32_t length)
{
	minphase_free(state);
	int32_t m = length >= 1 ? minphase_grid(length) : 0;
	if (m == 0)
		return 0;
	state.length = length;
	state.size = m;
	state.real = fftw_alloc_real(static_cast<size_t>(m));
	state.bins = fftw_alloc_complex(static_cast<size_t>(m / 2 + 1));
	if (state.real != nullptr && state.bins != nullptr) {
		// Estimated, not measured: on a grid this large measuring would
		// cost more than the few transforms of a design.
		state.forward = fftw_plan_dft_r2c_1d(m, state.real, state.bins,
		                                     FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
		state.inverse = fftw_plan_dft_c2r_1d(m, state.bins, state.real,
		                                     FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
	}
	if (state.forward == nullptr || state.inverse == nullptr) {
		minphase_free(state);
		return 0;
	}
	return 1;
}

void minphase_from(minphase_state &state, std::span<double> taps, double sign)
{
	int32_t m = state.size, h = m / 2;
	double *x = state.real;
	fftw_complex *bins = state.bins;
	size_t n = std::min(taps.size(), static_cast<size_t>(m));

	// The magnitude on the grid.
	std::memcpy(x, taps.data(), n * sizeof(double));
	std::fill(x + n, x + m, 0.0);
	fftw_execute(state.forward);
	double top = 0, bottom = HUGE_VAL;
	for (int32_t k = 0; k <= h; k++) {
		double a = std::hypot(bins[k][0], bins[k][1]);
		bins[k][0] = a;
		top = std::max(top, a);
		bottom = std::min(bottom, a);
	}
	// Flat (within rounding), or nothing at all: the impulse at tap 0 of
	// that gain is the answer, exactly.
	// A flat magnitude, or none at all: the taps are one impulse (within
	// rounding), and that impulse at tap 0 is the answer, exactly.
	if (!(top > 0) || bottom >= top * (1 - 1e-12)) {
		double gain = 0;
		for (double t : taps)
			gain = std::max(gain, std::fabs(t));
		std::fill(taps.begin(), taps.end(), 0.0);
		if (!taps.empty())
			taps[0] = sign * gain;
		return;
	}
	double floor = top * minphase_floor;
	for (int32_t k = 0; k <= h; k++) {
		bins[k][0] = std::log(std::max(bins[k][0], floor));
		bins[k][1] = 0;
	}

	// The real cepstrum (times M), folded: c[0] and c[M/2] once, the
	// causal half twice, the anti-causal half gone; 1/M taken here.
	fftw_execute(state.inverse);
	double scale = 1.0 / m;
	x[0] *= scale;
	for (int32_t i = 1; i < h; i++)
		x[i] *= 2 * scale;
	x[h] *= scale;
	std::fill(x + h + 1, x + m, 0.0);

	// Its transform is the log of the minimum-phase response.
	fftw_execute(state.forward);
	for (int32_t k = 0; k <= h; k++) {
		double a = std::exp(bins[k][0]) * scale * sign;
		double phi = bins[k][1];
		bins[k][0] = a * std::cos(phi);
		bins[k][1] = a * std::sin(phi);
	}
	fftw_execute(state.inverse);
	std::memcpy(taps.data(), x, n * sizeof(double));
}

void minphase_free(minphase_state &state)
{
	if (state.forward != nullptr)
		fftw_destroy_plan(state.forward);
	if (state.inverse != nullptr)
		fftw_destroy_plan(state.inverse);
	fftw_free(state.real);
	fftw_free(state.bins);
	state = minphase_state{};
}
