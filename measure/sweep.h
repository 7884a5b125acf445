// The exponential swept sine that a measurement plays, and its analytic
// inverse.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// What the user asks of a sweep.
struct sweep_request {
	double rate = 48000;   // Hz
	double from = 10;      // f1, Hz
	double to = 22000;     // f2, Hz; lowered to 0.45 rate when not given
	double seconds = 5;    // T, before the rounding below
	double level_db = -12; // peak level, dBFS; never above -3
	bool to_given = false;
};

inline constexpr double largest_level_db = -3;
inline constexpr double top_fraction = 0.45; // of the rate: the highest f2
inline constexpr double tail_seconds = 1;    // silence after the sweep

// x(t) = A sin(2 pi f1 L (exp(t/L) - 1)), with L = round(f1 T / ln(f2/f1)) / f1
// and the duration L ln(f2/f1), so that the sweep ends at f2 and its
// harmonics line up in time; faded in over its first third of an octave
// and out over its last 1/24 octave; then tail_seconds of silence.
struct sweep {
	double rate = 0, f1 = 0, f2 = 0;
	double L = 0;        // s
	double duration = 0; // s, L ln(f2/f1)
	double amplitude = 0;
	size_t length = 0;          // samples of the sweep itself
	std::vector<double> played; // the sweep and its silence
};

// Checks the request and builds the sweep. false with why set ("the sweep
// must start below where it ends", ...) when the request cannot make one.
bool make_sweep(const sweep_request &request, sweep &s, std::string &why);
