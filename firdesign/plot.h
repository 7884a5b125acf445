// The picture of a design, drawn with PLplot: requested and achieved gain
// over a logarithmic frequency axis above, the taps against time below.
#pragma once

#include "response.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// The PLplot device for a plot file's extension: "svg", "pngcairo",
// "pdfcairo", or null for an extension it cannot draw.
const char *plot_device(std::string_view ext);

// Draws into the file at path with that device. The achieved curve comes
// from `fine`, a response on a grid at least as dense as the summary's.
// Returns 0, or an errno-like value when PLplot gave up.
int draw_plot(const std::string &path, const char *device, const response &fine,
              std::span<const double> taps, double rate);

// A response on a grid denser than 48 points an octave where the length
// allows it (up to 8 times), so the ripple between the bins shows; else
// `coarse`, the response on the summary's grid.
response plot_response(const eq_state &state, const response &coarse);
