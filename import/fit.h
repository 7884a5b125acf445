// A layout that follows a gain curve: breakpoints placed where the curve
// needs them, so that firload's piecewise-linear reading of it (linear gain,
// linear in Hz) stays within the tolerance of the curve.
#pragma once

#include <span>
#include <string>
#include <vector>

// Within 0.1 dB of the curve where it is above -30 dB, and within 0.003 in
// linear gain where it is lower, from 20 Hz to min(20 kHz, rate/2).
inline constexpr double fit_tolerance_db = 0.1;
inline constexpr double fit_tolerance_linear = 0.003;
inline constexpr double fit_floor_db = -30;

// Grid the curve is sampled on: 384 points an octave from 10 Hz to rate/2,
// each frequency rounded to six significant digits so the layout can state
// it exactly.
std::vector<double> fit_grid(double rate);

// Whether a layout gain g at frequency f stands for the source gain want,
// with the tolerances scaled by `scale` (1 for the ones above).
bool within_tolerance(double g, double want, double scale = 1.0);

// The layout of breakpoints chosen from (freq[i], gain[i]), gains written to
// nine significant digits and checked as firload will read them. Empty when
// the layout would be longer than max_bytes.
std::string fit_layout(std::span<const double> freq, std::span<const double> gain, double rate,
                       size_t max_bytes);
