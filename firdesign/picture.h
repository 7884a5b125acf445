// The picture of a design: requested and achieved gain over a logarithmic
// frequency axis above, the taps against time below, drawn by the plot
// room (plot.h).
#pragma once

#include "plot.h"
#include "response.h"

#include <cstddef>
#include <span>
#include <string>

// The page: the rate, the length and the latency in the title, one panel
// below the gain. Minimum phase: the phase in the title instead of a
// latency, and a second panel below, the group delay.
plot_page design_page(double rate, size_t taps, eq_phase phase = eq_phase::linear);

// The taps panel (plot panel 1), drawn while the response is computed:
// every tap for linear phase; for minimum phase the start of the impulse,
// where its energy is.
plot_panel taps_panel(std::span<const double> taps, double rate, eq_phase phase);

// The gain panel (plot panel 0): requested and achieved from 10 Hz to half
// the rate. `fine` comes from plot_response.
plot_panel gain_panel(const response &fine, double rate);

// The group delay panel of a minimum-phase design (plot panel 2): r's
// delay in ms where the request is within 60 dB of its highest on r, so
// that no point where the gain vanishes sets the scale.
plot_panel delay_panel(const response &r, double rate);

// A response on a grid denser than 48 points an octave where the length
// allows it (up to 8 times), so the ripple between the bins shows; else
// `coarse`, the response on the summary's grid.
response plot_response(const eq_state &state, const response &coarse);
