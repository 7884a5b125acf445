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
// below the gain.
plot_page design_page(double rate, size_t taps);

// The taps panel (plot panel 1), drawn while the response is computed.
plot_panel taps_panel(std::span<const double> taps, double rate);

// The gain panel (plot panel 0): requested and achieved from 10 Hz to half
// the rate. `fine` comes from plot_response.
plot_panel gain_panel(const response &fine, double rate);

// A response on a grid denser than 48 points an octave where the length
// allows it (up to 8 times), so the ripple between the bins shows; else
// `coarse`, the response on the summary's grid.
response plot_response(const eq_state &state, const response &coarse);
