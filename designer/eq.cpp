#include "eq.h"

#include "halves.h"

#include "fixed.h"

#include <cmath>
#include <numbers>
#include <cstring>

namespace
{

using std::numbers::pi;
constexpr double ln10 = 2.302585092994046;

// Raised-cosine half window over the causal half of the zero-phase
// response x (held in time), scaled by 1/N and moved to the centre.
void window_even(double *time, int32_t n)
{
	int32_t h = n / 2;
	// Reads only indexes below h, writes only indexes from h on.
	for (int32_t k = 0; k < h; k++)
		time[h + k] =
		        ((0.5 * std::cos((static_cast<double>(k) / h) * pi) + 0.5) / n) * time[k];
	for (int32_t i = h - 1; i >= 1; i--)
		time[i] = time[n - i];
	time[0] = 0.0;
}

void window_odd(double *time, int32_t n)
{
	int32_t c = (n - 1) / 2;
	// Downwards: time[c + k] is written only after x[c + k] was last read.
	for (int32_t k = c; k >= 0; k--)
		time[c + k] = ((0.5 * std::cos(((2.0 * k) / n) * pi) + 0.5) / n) * time[k];
	for (int32_t k = 1; k <= c; k++)
		time[c - k] = time[c + k];
}

// One line a bin, as "%3.1lf Hz: requested %2.2lf, got %2.7lf (log10 =
// %.2lf), %3.7lfdb\n" would print it.
void report(const eq_state &state, const printer &out)
{
	if (out.stream == nullptr)
		return;
	const double *requested = state.requested;
	int32_t n = state.length;
	int32_t h = n / 2;
	const double *spectrum = state.spectrum;
	text_buffer text(out);
	for (int32_t k = 0; k <= h; k++) {
		double re = spectrum[k];
		// Even N has no imaginary part at bins 0 and N/2, odd N only at 0.
		double im = k >= 1 && (k < h || n % 2 == 1) ? spectrum[n - k] : 0.0;
		double got = std::sqrt(re * re + im * im) * n;
		char *p = text.room(5 * fixed_max + 64);
		p = format_fixed(p, k * (state.rate / n), 3, 1);
		p = put(p, " Hz: requested ");
		p = format_fixed(p, requested[k], 2, 2);
		p = put(p, ", got ");
		p = format_fixed(p, got, 2, 7);
		p = put(p, " (log10 = ");
		p = format_fixed(p, std::log(got) / ln10, 0, 2);
		p = put(p, "), ");
		p = format_fixed(p, (std::log(got / requested[k]) / ln10) * 10, 3, 7);
		p = put(p, "db\n");
		text.advance(p);
	}
}

// One line a tap, as "%.3lf ms: %.10lf\n" would print it.
void listing(const eq_state &state, const printer &out)
{
	if (out.stream == nullptr)
		return;
	text_buffer text(out);
	for (int32_t k = 0; k < state.length; k++) {
		char *p = text.room(2 * fixed_max + 16);
		p = format_fixed(p, (k * 1000.0) / state.rate, 0, 3);
		p = put(p, " ms: ");
		p = format_fixed(p, state.time[k], 0, 10);
		*p++ = '\n';
		text.advance(p);
	}
}

} // namespace

double eq_plan_budget(int32_t n)
{
	// An FFTW_ESTIMATE plan of a power-of-two length runs at about
	// 1.2 ns times n log2 n on current machines.
	double size = n < 2 ? 2.0 : static_cast<double>(n);
	return 2 * 1.2e-9 * size * std::log2(size);
}

int eq_init(eq_state &state, double rate, int32_t length)
{
	state = eq_state{};
	state.rate = rate;
	state.length = length;
	if (length < 1)
		return 0;
	auto n = static_cast<size_t>(length);
	state.time = fftw_alloc_real(n);
	state.spectrum = fftw_alloc_real(n);
	state.requested = fftw_alloc_real(n);
	if (state.time != nullptr && state.spectrum != nullptr && state.requested != nullptr) {
		fftw_import_system_wisdom();
		fftw_set_timelimit(eq_plan_budget(length));
		state.forward_plan = fftw_plan_r2r_1d(length, state.time, state.spectrum, FFTW_R2HC,
		                                      FFTW_MEASURE);
		state.inverse_plan = fftw_plan_r2r_1d(length, state.spectrum, state.time, FFTW_HC2R,
		                                      FFTW_MEASURE);
		fftw_set_timelimit(FFTW_NO_TIMELIMIT);
	}
	if (state.forward_plan == nullptr || state.inverse_plan == nullptr) {
		eq_free(state);
		return 0;
	}
	return 1;
}

int eq_design(eq_state &state, const char *text)
{
	return eq_design(state, text, eq_diag_output());
}

int eq_design(eq_state &state, const char *text, const eq_output &out)
{
	int32_t n = state.length;
	state.scale = 1.0;
	state.spread.filled = false;
	bool minimum = state.phase == eq_phase::minimum;
	// Phase minimum at a new length: its grid is planned while the linear
	// design is made, and the spread grid while the taps are made minimum
	// phase; FFTW's planner runs in one thread at a time, and beside
	// transforms only.
	bool have_grid = state.minimum.length == n, have_spread = state.spread.length == n;
	alongside plan_grid{[&] { have_grid = minphase_init(state.minimum, n) == 1; }};
	alongside plan_spread{[&] { have_spread = spread_init(state.spread, n) == 1; }};
	if (minimum && !have_grid)
		plan_grid.start();
	if (eq_build_spectrum(text, state.rate, n, state.spectrum, &state.normalize, out,
	                      &state.segments) == 0)
		return 0;
	std::memcpy(state.requested, state.spectrum, static_cast<size_t>(n) * sizeof(double));

	fftw_execute(state.inverse_plan);
	if (n % 2 == 0)
		window_even(state.time, n);
	else
		window_odd(state.time, n);
	if (minimum) {
		plan_grid.finish();
		if (!have_grid) {
			print(out.errors, "Design error: no memory for the minimum-phase grid.\n");
			return 0;
		}
		// (Grids too coarse for a steep layout plan finer ones of their
		// own while minphase_from runs: then the spread waits.)
		if (!have_spread && state.minimum.size >= minphase_finest)
			plan_spread.start();
		// The polarity of the request where it is strongest.
		int32_t strongest = 0;
		for (int32_t k = 1; k <= n / 2; k++)
			if (std::fabs(state.requested[k]) > std::fabs(state.requested[strongest]))
				strongest = k;
		minphase_from(state.minimum, std::span<double>(state.time, static_cast<size_t>(n)),
		              state.requested[strongest] < 0 ? -1.0 : 1.0);
	}

	fftw_execute(state.forward_plan);
	for (int32_t i = 0; i < n; i++)
		state.spectrum[i] /= n;
	report(state, out.report);

	if (state.normalize) {
		double sum = 0.0;
		for (int32_t i = 0; i < n; i++)
			sum += std::fabs(state.time[i]);
		if (sum != 0.0) {
			for (int32_t i = 0; i < n; i++)
				state.time[i] /= sum;
			state.scale = 1.0 / sum;
		}
	}
	for (int32_t i = 0; i < n; i++) {
		if (!std::isfinite(state.time[i])) {
			print(out.errors, "Design error: non-finite coefficients.\n");
			return 0;
		}
	}
	// The minimum-phase taps have no symmetry that makes their response
	// cheap to sum: put them on the grid it is evaluated from (without
	// it, the response is summed over them).
	bool spread = minimum || state.spread_linear;
	if (spread && !have_spread && !plan_spread.wanted)
		have_spread = spread_init(state.spread, n) == 1;
	plan_spread.finish();
	// (A linear design's delay is half its length: no grid for it.)
	if (spread && have_spread)
		spread_taps(state.spread,
		            std::span<const double>(state.time, static_cast<size_t>(n)), minimum);
	listing(state, out.report);
	return 1;
}

void eq_free(eq_state &state)
{
	if (state.forward_plan != nullptr)
		fftw_destroy_plan(state.forward_plan);
	if (state.inverse_plan != nullptr)
		fftw_destroy_plan(state.inverse_plan);
	fftw_free(state.time);
	fftw_free(state.spectrum);
	fftw_free(state.requested);
	minphase_free(state.minimum);
	spread_free(state.spread);
	state.requested = nullptr;
	state.forward_plan = nullptr;
	state.inverse_plan = nullptr;
	state.time = nullptr;
	state.spectrum = nullptr;
}
