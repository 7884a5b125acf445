// The transform of long taps anywhere between the bins, fast: the taps,
// divided by a window's transform, go through one FFT onto a grid at least
// twice as fine, and the value at any frequency is the sum of the few grid
// values around it, each weighted by that window (Kaiser-Bessel). The
// window is wide enough that the result differs from the plain sum over
// the taps by about 1e-15 of the sum of their magnitudes: as exact as that
// sum, at the cost of one FFT and a few dozen operations per frequency
// instead of the length's.
#pragma once

#include <fftw3.h>

#include <cstdint>
#include <span>

// Grid points each value is summed from.
inline constexpr int32_t spread_width = 18;

struct spread_state {
	int32_t length = 0;            // the taps this grid serves
	int32_t size = 0;              // grid points P, even, at least 2 * length
	int32_t centre = 0;            // the tap the phase is taken about, length / 2
	double *real = nullptr;        // P doubles
	double *real2 = nullptr;       // P doubles, for the delay's grid
	fftw_complex *gain = nullptr;  // P/2 + 1: the taps' grid
	fftw_complex *delay = nullptr; // P/2 + 1: the grid of (n - centre) times them
	double *window = nullptr;      // centre + 1: the window's transform, by |n - centre|
	fftw_plan plan = nullptr;      // real -> gain (and, with new arrays, -> delay)
	bool filled = false;           // spread_taps has run
};

// Allocates the grid for length taps (>= 1) and plans its transform. 1 on
// success; 0, with nothing left allocated, when memory or a plan cannot be
// had.
int spread_init(spread_state &state, int32_t length);

// Puts taps (state.length of them) on the grid, and with delays the
// grid of the group delay too.
void spread_taps(spread_state &state, std::span<const double> taps, bool delays);

// At every angle theta (radians per sample, 0 to pi) of count: the gain
// |sum of taps[n] e^(-j theta n)|, and with delays given (and spread_taps
// asked for them) the group delay in samples, minus the derivative of the
// phase. Where the gain is 0 the delay is not finite.
void spread_at(const spread_state &state, const double *theta, size_t count, double *gains,
               double *delays);

// Destroys the plan and frees the grid; safe to call again.
void spread_free(spread_state &state);
