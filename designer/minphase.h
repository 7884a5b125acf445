// Minimum phase: the taps of a design turned into the causal filter of the
// same magnitude whose energy comes as early as any such filter's can, by
// the real cepstrum on a grid much finer than the taps.
#pragma once

#include <fftw3.h>

#include <cstdint>
#include <span>

// The phase a design is given: linear (symmetric taps, a delay of half the
// length) or minimum (the impulse at the start, the delay depending on
// frequency).
enum class eq_phase { linear, minimum };

// The grid is a power of two, at least this many times the length.
inline constexpr int32_t minphase_oversampling = 8;

// Where the cepstrum's far half (M/4 to M/2) sums to more than this, the
// grid aliases it: a design goes to a grid 4, 16.. times finer, up to
// minphase_finest points (never coarser than the first). Smooth layouts
// stay far below it; stop bands and notches on short filters need it.
inline constexpr double minphase_aliasing = 1e-3;
inline constexpr int32_t minphase_finest = 1 << 17;

// Grids of at least this many points are worked on in two threads, a
// helper kept through a design's passes (the same values either way).
inline constexpr int32_t minphase_threaded = 1 << 15;

// Magnitudes below this fraction of the highest (-80 dB) are raised to it
// before the logarithm, so that exact zeros stay finite.
inline constexpr double minphase_floor = 1e-4;

struct team;

// The grid and its plan, made once for a length and reused.
struct minphase_state {
	int32_t length = 0;               // the taps this grid serves
	int32_t size = 0;                 // grid points M
	double *real = nullptr;           // M/2 + 2 doubles
	fftw_complex *bins = nullptr;     // M/4 + 1 values, in real's memory
	double *spare = nullptr;          // M/2 + 1 doubles
	double *spare2 = nullptr;         // M/2 + 1 doubles
	fftw_complex *twiddles = nullptr; // fine, then M/2 / fine + 1 coarse, values
	int32_t fine = 1;                 // the fine table's length
	fftw_plan forward = nullptr;      // the complex transform of M/8 points, in place
	team *crew = nullptr;             // the helper thread, while minphase_from runs
};

// The grid size for length taps (>= 1): the smallest power of two of at
// least minphase_oversampling times it; 0 beyond what an int32_t holds.
int32_t minphase_grid(int32_t length);

// Allocates the grid for length taps (of size points, or minphase_grid's
// when 0) and plans its transform. 1 on success; 0, with nothing left
// allocated, when memory or the plan cannot be had.
int minphase_init(minphase_state &state, int32_t length, int32_t size = 0);

// Replaces taps (state.length of them) by the minimum-phase filter whose
// magnitude is theirs: log of the magnitude on the grid (floored), the
// real cepstrum, its anti-causal half folded onto the causal one, the
// exponential of its transform, the first taps.size() samples; on finer
// grids where the cepstrum needs them (minphase_aliasing). sign (+1 or -1)
// is the polarity the result keeps, since the magnitude has none. A flat
// magnitude gives the exact impulse at tap 0.
void minphase_from(minphase_state &state, std::span<double> taps, double sign);

// Destroys the plans and frees the grid; safe to call again.
void minphase_free(minphase_state &state);
