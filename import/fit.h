// A layout that follows a gain curve: breakpoints placed where the curve
// needs them, so that firload's piecewise-linear reading of it (linear gain,
// linear in Hz, flat below the first breakpoint) stays within the tolerance
// of the curve everywhere, not only where the fit looked.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

// Within 0.1 dB of the curve where it is above -30 dB, and within 0.003 in
// linear gain where it is lower, from 20 Hz to min(20 kHz, rate/2).
inline constexpr double fit_tolerance_db = 0.1;
inline constexpr double fit_tolerance_linear = 0.003;
inline constexpr double fit_floor_db = -30;
// Below 20 Hz, down to DC: 1 dB, or 0.01 in linear gain below -30 dB.
// Above 20 kHz: 1 dB, or 0.03.
inline constexpr double fit_low_tolerance_db = 1, fit_low_tolerance_linear = 0.01;
inline constexpr double fit_high_tolerance_db = 1, fit_high_tolerance_linear = 0.03;
// No imported curve rises above this.
inline constexpr double fit_ceiling_db = 60;

struct fit_tolerance {
	double db, linear;
};

// The tolerance that holds at f Hz for a layout at rate Hz.
fit_tolerance tolerance_at(double f, double rate);

// Whether a layout gain g stands for the source gain want within t.
bool within(double g, double want, fit_tolerance t);

// Whether a layout gain g at frequency f stands for the source gain want,
// with the audible-range tolerances scaled by `scale` (1 for the ones
// above).
bool within_tolerance(double g, double want, double scale = 1.0);

// v written with digits significant digits (printf's %.*g, 1 to 9), and
// the number that text reads back as: the same number, without the text
// where it can be worked out exactly.
double rounded(double v, int digits);

// Grid the curve is sampled on first: 24 points an octave from 10/1024 Hz
// to 10 Hz, 384 an octave from 10 Hz to rate/2, each frequency rounded to
// six significant digits so the layout can state it exactly.
std::vector<double> fit_grid(double rate);

enum class fit_status {
	ok,
	too_long,   // the layout would exceed max_bytes
	not_finite, // the curve's gain is not finite at at_hz
	too_loud,   // the curve rises above fit_ceiling_db at at_hz
	too_fast,   // no breakpoints found that follow the curve near at_hz
};

struct fit_result {
	fit_status status = fit_status::ok;
	double at_hz = 0;
	std::string layout;
};

// The source's linear gain at every frequency of f (from 0 to rate/2),
// into g, as long as f. Called from two threads at once, on different
// frequencies.
using gain_batch = std::function<void(std::span<const double> f, std::span<double> g)>;

// The layout of breakpoints that follows the source's gains, frequencies
// and gains written to nine significant digits at most. The fit holds half
// the tolerance at its grid points; the result is checked on a grid ten
// times denser, and the fit's grid is refined where that check fails,
// until it holds.
fit_result fit_curve(const gain_batch &gains, double rate, size_t max_bytes);
