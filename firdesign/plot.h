// The picture of a design, drawn with PLplot: requested and achieved gain
// over a logarithmic frequency axis above, the taps against time below.
#pragma once

#include "response.h"
#include "staged.h"

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// The PLplot device for a plot file's extension: "svg", "memcairo" (a PNG
// is drawn in memory and encoded by png.h), "pdfcairo", or null for an
// extension it cannot draw.
const char *plot_device(std::string_view ext);

// A plot drawn by a process of its own, so that PLplot can never end,
// prompt in or write to firdesign itself, and so that its driver starts
// while the filter is designed. The process checks that the driver is
// installed, sets it up, draws the parts known from the start, then waits
// for the curves.
struct plot_job {
	pid_t pid = -1;
	int curves = -1; // the pipe the curves go down
	const char *device = nullptr;
	plot_job() = default;
	plot_job(const plot_job &) = delete;
	plot_job &operator=(const plot_job &) = delete;
	~plot_job(); // ends a process still running
};

// Starts the plot into file (staged, not finished) with a PLplot device.
// 0 or errno.
int start_plot(plot_job &job, const staged_file &file, const char *device, double rate,
               size_t taps);

// Sends the taps, then the response: the achieved curve comes from
// `fine`, a response on a grid at least as dense as the summary's. The
// process draws each part as it comes. 0 or errno.
int send_plot_taps(plot_job &job, std::span<const double> taps, double rate);
int send_plot_curves(plot_job &job, const response &fine);

// Waits for the plot and checks that the file is whole, then finishes it.
// Returns 0, or the exit status after printing why: 73 when the driver is
// missing or does not start, 74 when the file is short, 70 when PLplot
// failed otherwise.
int end_plot(plot_job &job, staged_file &file);

// A response on a grid denser than 48 points an octave where the length
// allows it (up to 8 times), so the ripple between the bins shows; else
// `coarse`, the response on the summary's grid.
response plot_response(const eq_state &state, const response &coarse);
