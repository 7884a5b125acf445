// The response of a design between and beyond the bins: a dense
// logarithmic grid, the gains asked for and achieved on it, and the figures
// of the summary.
#pragma once

#include "eq.h"

#include <cstdint>
#include <span>
#include <vector>

// Grid points per octave of the response grid.
inline constexpr int grid_per_octave = 48;

// f_k = 10 * 2^(k/per_octave) Hz while below rate/2, then rate/2 itself.
std::vector<double> response_grid(double rate, int per_octave = grid_per_octave);

// |sum over n of taps[n] e^(-j 2 pi f n / rate)| at every f of freqs, for
// taps symmetric about their centre (every design of the designer is):
// even N about N/2 with tap 0 zero, odd N about (N-1)/2.
std::vector<double> achieved_gains(std::span<const double> taps, double rate,
                                   std::span<const double> freqs);

// Linear gain in dB; 0 gives -inf.
double to_db(double gain);

struct response {
	std::vector<double> freq;      // Hz
	std::vector<double> requested; // |layout gain| times the normalization factor
	std::vector<double> achieved;  // of the taps as loaded
};

// The response of the last successful eq_design of state at freq.
response response_at(const eq_state &state, std::vector<double> freq);

// The same on the response grid.
response design_response(const eq_state &state);

// Achieved minus requested in dB with the largest magnitude over the points
// from 20 Hz to min(20 kHz, rate/2) where the request is at least 0.001.
struct deviation {
	bool any = false; // false: no point qualified
	double db = 0;
	double freq = 0;
};
deviation largest_deviation(const response &r, double rate);

// Where the gain is highest on the grid.
struct peak {
	double db = 0;
	double freq = 0;
};
peak peak_gain(const response &r);

// The largest deviation of the last successful eq_design of state, computed
// on the points of the grid that count for it alone.
deviation design_deviation(const eq_state &state);
