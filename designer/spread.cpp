#include "spread.h"

#include "halves.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace
{

using std::numbers::pi;

// The window's shape: I0(beta sqrt(1 - t^2)) for t from -1 to 1 across
// spread_width grid points, beta as chosen for a grid twice as fine as
// the taps (Beatty, Nishimura and Pauly), which leaves about 1e-15 of the
// sum of the taps' magnitudes.
constexpr double sigma = 2.0;
const double beta = pi * std::sqrt(spread_width * spread_width / (sigma * sigma) * (sigma - 0.5) *
                                           (sigma - 0.5) -
                                   0.8);

// Terms of I0's series: beyond 60 they add less than 1e-17 of it for any
// argument up to beta.
constexpr int series_terms = 60;

// The smallest grid: below it the window would span much of it.
constexpr int64_t least_size = 4 * spread_width;

// An even grid size of no prime factor above 7, at least want.
int64_t smooth_size(int64_t want)
{
	for (int64_t p = want + want % 2;; p += 2) {
		int64_t r = p;
		for (int64_t f : {2, 3, 5, 7})
			while (r % f == 0)
				r /= f;
		if (r == 1)
			return p;
	}
}

// The window at spread_width offsets of the grid from x (in grid steps),
// the first at floor(x) - width/2 + 1, into w.
void window_at(double x, double *w)
{
	constexpr int32_t half = spread_width / 2;
	double first = std::floor(x) - half + 1;
	double q[spread_width], term[spread_width];
	for (int32_t j = 0; j < spread_width; j++) {
		double t = (x - (first + j)) / half;
		double y2 = beta * beta * std::max(0.0, 1 - t * t);
		q[j] = y2 / 4;
		term[j] = 1;
		w[j] = 1;
	}
	for (int k = 1; k <= series_terms; k++) {
		double inverse = 1.0 / (static_cast<double>(k) * k);
		for (int32_t j = 0; j < spread_width; j++) {
			term[j] *= q[j] * inverse;
			w[j] += term[j];
		}
	}
}

} // namespace

int spread_init(spread_state &state, int32_t length)
{
	spread_free(state);
	if (length < 1)
		return 0;
	int64_t p = smooth_size(std::max(least_size, static_cast<int64_t>(sigma) * length));
	if (p > INT32_MAX)
		return 0;
	state.length = length;
	state.size = static_cast<int32_t>(p);
	state.centre = length / 2;
	size_t half = static_cast<size_t>(p / 2 + 1);
	state.real = fftw_alloc_real(static_cast<size_t>(p));
	state.real2 = fftw_alloc_real(static_cast<size_t>(p));
	state.gain = fftw_alloc_complex(half);
	state.delay = fftw_alloc_complex(half);
	state.window = fftw_alloc_real(static_cast<size_t>(state.centre) + 1);
	if (state.real != nullptr && state.real2 != nullptr && state.gain != nullptr &&
	    state.delay != nullptr && state.window != nullptr)
		state.plan =
		        fftw_plan_dft_r2c_1d(state.size, state.real, state.gain, FFTW_ESTIMATE);
	if (state.plan == nullptr) {
		spread_free(state);
		return 0;
	}
	// The window's transform at each tap's distance m from the centre,
	// sinh(z) / z with z = sqrt(beta^2 - (m alpha)^2), alpha its half
	// width in radians; times the width, which takes in the grid's 1/P.
	double alpha = spread_width * pi / state.size;
	for (int32_t m = 0; m <= state.centre; m++) {
		double z = std::sqrt(beta * beta - (m * alpha) * (m * alpha));
		state.window[m] = spread_width * std::sinh(z) / z;
	}
	return 1;
}

void spread_taps(spread_state &state, std::span<const double> taps, bool delays)
{
	int32_t n = std::min(state.length, static_cast<int32_t>(taps.size()));
	int32_t p = state.size, c = state.centre;
	// Tap n at grid index n - centre, modulo P: the sum is taken about the
	// centre, where the window's transform is widest. The delay's grid is
	// made at the same time as the gain's, in a thread of its own.
	auto fill = [&state, taps, n, p, c](double *real, fftw_complex *out, bool weighted) {
		std::fill(real, real + p, 0.0);
		for (int32_t i = 0; i < n; i++) {
			int32_t m = i - c;
			double v = taps[static_cast<size_t>(i)] / state.window[std::abs(m)];
			real[m < 0 ? m + p : m] = weighted ? m * v : v;
		}
		fftw_execute_dft_r2c(state.plan, real, out);
	};
	alongside delay{[&] { fill(state.real2, state.delay, true); }};
	if (delays && n >= static_cast<int32_t>(halves_least))
		delay.start();
	fill(state.real, state.gain, false);
	if (delays && !delay.wanted)
		fill(state.real2, state.delay, true);
	delay.finish();
	state.filled = true;
}

void spread_at(const spread_state &state, const double *theta, size_t count, double *gains,
               double *delays)
{
	int32_t p = state.size, half = p / 2;
	// The grid's value at index l, any l within a width of 0 to P/2: the
	// transform computed is its conjugate, and the taps are real.
	auto at = [&](const fftw_complex *y, int64_t l, double &re, double &im) {
		if (l < 0) {
			re = y[-l][0];
			im = y[-l][1];
		} else if (l > half) {
			re = y[p - l][0];
			im = y[p - l][1];
		} else {
			re = y[l][0];
			im = -y[l][1];
		}
	};
	double w[spread_width];
	for (size_t i = 0; i < count; i++) {
		double x = theta[i] * p / (2 * pi);
		window_at(x, w);
		int64_t first = static_cast<int64_t>(std::floor(x)) - spread_width / 2 + 1;
		double dr = 0, di = 0, mr = 0, mi = 0;
		for (int32_t j = 0; j < spread_width; j++) {
			double re, im;
			at(state.gain, first + j, re, im);
			dr += w[j] * re;
			di += w[j] * im;
			if (delays != nullptr) {
				at(state.delay, first + j, re, im);
				mr += w[j] * re;
				mi += w[j] * im;
			}
		}
		double power = dr * dr + di * di;
		if (gains != nullptr)
			gains[i] = std::sqrt(power);
		if (delays != nullptr)
			delays[i] = state.centre + (mr * dr + mi * di) / power;
	}
}

void spread_free(spread_state &state)
{
	if (state.plan != nullptr)
		fftw_destroy_plan(state.plan);
	fftw_free(state.real);
	fftw_free(state.real2);
	fftw_free(state.gain);
	fftw_free(state.delay);
	fftw_free(state.window);
	state = spread_state{};
}
