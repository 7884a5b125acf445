// The filter designer: an EQ layout in, N FIR coefficients out, with a
// design report (requested against achieved gain at every bin) and the
// coefficient listing printed through diag.
//
// Contract: the rate R is above 0 and the length N at least 1; callers check
// both before eq_init (the tool refuses a device that reports otherwise).
//
// Even N: linear phase, centred on tap N/2 (a delay of N/2 samples), tap 0
// zero. Odd N: symmetric about tap (N-1)/2, no tap forced to zero. With
// phase minimum: that design's magnitude, made minimum phase (minphase.h).
#pragma once

#include "layout.h"
#include "minphase.h"
#include "spread.h"

#include <fftw3.h>

#include <cstdint>
#include <vector>

struct eq_state {
	double rate = 0;                   // sample rate R in Hz
	int32_t length = 0;                // filter length N
	int32_t normalize = 0;             // set by each eq_design run from the layout header
	eq_phase phase = eq_phase::linear; // set by the caller after eq_init
	double *time = nullptr;            // N coefficients: the array handed to the device
	double *spectrum = nullptr;        // N doubles, FFTW half-complex order
	fftw_plan forward_plan = nullptr;  // time -> spectrum, FFTW_R2HC
	fftw_plan inverse_plan = nullptr;  // spectrum -> time, FFTW_HC2R

	// What the last successful eq_design computed, besides the taps in
	// time and the achieved spectrum (divided by N) in spectrum:
	double *requested = nullptr;      // N doubles: the gains asked for at bins 0 to N/2
	double scale = 1.0;               // the factor normalization applied to the taps
	std::vector<eq_segment> segments; // the gain curve as the layout was read
	minphase_state minimum;           // the minimum-phase grid, made at its first use
	// Phase minimum, or linear with spread_linear: the taps on the grid
	// their response is evaluated from (spread.h); not filled when it
	// could not be had, and the response is summed over the taps instead.
	spread_state spread;
	// Set by a caller that designs many times with one state (a server):
	// linear responses come from the spread grid too, whose plan is made
	// once. (A single design sums them: planning would cost about what it
	// saves.)
	bool spread_linear = false;
};

// Planning budget of each transform plan, in seconds, for length n: about
// what two executions of it cost (each plan runs twice in a load), so
// measuring never costs more than it can save.
double eq_plan_budget(int32_t n);

// Stores rate (Hz, > 0) and length (>= 1), allocates the arrays and makes
// both plans: FFTW_MEASURE, after importing the system's wisdom (a plan it
// holds costs nothing), within eq_plan_budget. Returns 1 on success; 0,
// silently and with nothing left allocated, when memory or a plan cannot
// be had.
int eq_init(eq_state &state, double rate, int32_t length);

// Designs from the NUL-terminated layout text into state.time. Prints the
// layout heading, the design report and, on success, the coefficient
// listing. Returns 1 on success, 0 on a layout error or when the design
// gives a coefficient that is not finite (no listing then). With phase
// minimum the report is of the minimum-phase taps, and a grid that cannot
// be had is a design error.
int eq_design(eq_state &state, const char *text);

// The same, with the heading, report and listing going to out.report and
// the error messages to out.errors.
int eq_design(eq_state &state, const char *text, const eq_output &out);

// Destroys the plans and frees the arrays; safe to call again.
void eq_free(eq_state &state);

// Frees a designer on every way out of its owner's scope.
struct eq_guard {
	eq_state &state;
	~eq_guard() { eq_free(state); }
};
