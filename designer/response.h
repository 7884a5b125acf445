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

// |sum over n of taps[n] e^(-j 2 pi f n / rate)| at every f of freqs. For
// phase linear the taps are taken as symmetric about their centre (every
// linear design of the designer is): even N about N/2 with tap 0 zero, odd
// N about (N-1)/2; for phase minimum they may be anything.
std::vector<double> achieved_gains(std::span<const double> taps, double rate,
                                   std::span<const double> freqs,
                                   eq_phase phase = eq_phase::linear);

// The group delay of the taps, in samples, at every f of freqs: minus the
// derivative of the phase by the angular frequency, exactly from the taps.
// Where the gain is 0 it is not finite.
std::vector<double> group_delays(std::span<const double> taps, double rate,
                                 std::span<const double> freqs);

// Linear gain in dB; 0 gives -inf.
double to_db(double gain);

struct response {
	std::vector<double> freq;      // Hz
	std::vector<double> requested; // |layout gain| times the normalization factor
	std::vector<double> achieved;  // of the taps as loaded
	// Phase minimum only, when asked for (empty for linear, whose delay is
	// half the length): the taps' group delay, ms.
	std::vector<double> delay_ms;
};

// The response of the last successful eq_design of state at freq; with
// with_delay, for phase minimum, the group delay too.
response response_at(const eq_state &state, std::vector<double> freq, bool with_delay = false);

// The same on the response grid, with the delay, in two threads that take
// half the grid each: the numbers of one call, in about half the time
// where a core is free.
response design_response(const eq_state &state);

// response_at, in two threads the same way.
response response_at_in_two(const eq_state &state, std::vector<double> freq,
                            bool with_delay = false);

// Achieved minus requested in dB, and where.
struct deviation {
	bool any = false; // false: no point qualified
	double db = 0;
	double freq = 0;
};

// Where the gain is highest, and how high.
struct peak {
	double db = 0;
	double freq = 0;
};

// The largest deviation of the last successful eq_design of state from
// 20 Hz to min(20 kHz, rate/2), as design_deviation below finds it.
deviation design_deviation(const eq_state &state);

// The least request the deviation counts at: 60 dB below the layout's own
// highest gain (times the normalization factor), whatever its scale.
double counted_request(const eq_state &state);

// Where the largest deviation is looked for, in Hz; callers clip high to
// half the rate.
struct band {
	double low = 20, high = 20000;
};

// 20 Hz to min(20 kHz, rate/2).
band audio_band(double rate);

// The figures of the summary, looked for everywhere rather than on the
// grid alone, so that no narrow feature is missed.
struct design_figures {
	peak top;      // the true peak of the taps' gain from 0 Hz to rate/2, within 0.05 dB
	deviation dev; // the largest deviation within the band
};

// Of the last successful eq_design of state, with r its response on any
// points (the grid, usually; they are candidates too). The local maxima
// of the gain at the bins (each estimated by a parabola through its
// neighbours) and of its departure from the request, the largest few of
// each, are refined by exact evaluation within a bin on either side; the
// breakpoints of pieces narrower than two bins and the band's edges are
// evaluated exactly.
// with_peak false leaves top at its default.
design_figures figures_of(const eq_state &state, const response &r, band b, bool with_peak = true);

// The largest deviation within b the way figures_of finds it, with the
// response grid's points of b as candidates.
deviation design_deviation(const eq_state &state, band b);
