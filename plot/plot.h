// Pictures of curves, drawn by PLplot in a process of its own: PNG, SVG or
// PDF, for any command.
//
// A picture is a page of panels: a title above a main panel, and below it
// up to two extra panels, each with its own axes. A panel is described
// entirely by its record: what its x axis is (frequencies on a logarithmic
// axis, or a linear axis such as time), how its y range is found (decibels
// or plain values) and its curves (x, y, label, style). The caller works
// out what to show; this room only draws it.
//
// The process: PLplot can end the process it runs in, prompt on a
// terminal and write where it likes, so it never runs in the command
// itself. plot_start forks a process that checks that PLplot's driver is
// installed, sets it up and draws the title at once (fonts load while the
// command still computes), then draws each panel as it comes down a pipe.
// plot_end waits for it, checks that the file is whole and finishes it.
//
//	plot_job job;
//	plot_page page{"firmeasure", "48000 Hz, left", 1};
//	if (int e = plot_start(job, file, plot_device("png"), page)) ...
//	plot_panel gain = frequency_panel(10, 24000, "gain (dB)");
//	gain.curves.push_back({freqs, dbs, "measured", plot_blue});
//	plot_send(job, 0, gain);        // the main panel is index 0
//	plot_panel impulse = time_panel(samples, 48000, "impulse", plot_blue);
//	plot_send(job, 1, impulse);     // the extra panels 1 .. extra
//	return plot_end(job, file);     // 0 or the exit status, said why
//
// Panels may be sent in any order; each is drawn as soon as it arrives.
// The page is 1200 by 900 pixels (PNG) or points (SVG, PDF).
//
// Other panels are records filled in by hand. Group delay in ms over log
// frequency, say:
//	plot_panel delay = frequency_panel(10, rate / 2, "group delay (ms)");
//	delay.scale = plot_scale::values;
//	delay.legend = false;
//	delay.curves.push_back({freqs, ms, "", plot_blue});
#pragma once

#include "staged.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// How a curve is drawn: its colour, its width in PLplot's units (1 is a
// hairline, 3 a bold curve) and PLplot's line style (1 solid, 2 to 8
// dashed and dotted).
struct plot_style {
	uint8_t red = 0, green = 0, blue = 0;
	double width = 1.0;
	int dash = 1;
};

inline constexpr plot_style plot_orange{240, 150, 60, 3.0, 1};
inline constexpr plot_style plot_blue{30, 90, 190, 1.4, 1};

// A curve: y over x, point by point (x in Hz on a frequency axis; y in dB
// on a decibel axis). Points whose y is not finite are drawn far below
// the panel, so a gain of zero (-inf dB) shows as a drop off the bottom.
// An empty label keeps the curve out of the legend.
struct plot_curve {
	std::vector<double> x, y;
	std::string label;
	plot_style style;
};

enum class plot_axis : uint8_t {
	log_frequency, // Hz on a logarithmic axis, labelled 20, 50, 100 .. 20k
	linear,        // anything else (ms, say), ticks and labels by PLplot
};

enum class plot_scale : uint8_t {
	// The highest finite point, rounded up to 6 dB, at most 60 dB above
	// the lowest shown; at least 12 dB tall; 6 dB of headroom on top for
	// the legend; grid lines every 6 dB (every 12 dB above 36 dB tall).
	decibels,
	// From the lowest to the highest point, zero always included, 8% of
	// room on either side.
	values,
};

// At most this many curves a panel.
inline constexpr size_t plot_most_curves = 8;

struct plot_panel {
	plot_axis axis = plot_axis::linear;
	double x_from = 0, x_to = 1; // the x range shown (Hz on a frequency axis)
	plot_scale scale = plot_scale::values;
	std::string x_label, y_label; // drawn below and left of the panel
	bool legend = false;          // the labelled curves, top right inside
	std::vector<plot_curve> curves;
};

// A frequency panel from `from` to `to` Hz in decibels, labelled
// "frequency (Hz)" and y_label, with a legend; no curves yet. `from` is
// moved a decade below `to` when it is not below it.
plot_panel frequency_panel(double from, double to, std::string y_label);

// A panel of samples against time in ms (sample i at i * 1000 / rate),
// one curve without a label, the x axis from 0 to the last sample. With
// more samples than the page has columns, each column's smallest and
// largest sample are drawn instead, so every peak stays visible.
plot_panel time_panel(std::span<const double> samples, double rate, std::string y_label,
                      plot_style style);

// The page: the program's name for messages ("firdesign: ..."), the title
// and the number of extra panels below the main one (0, 1 or 2). With 0
// the main panel fills the page; with 1 the main panel takes the upper
// half and the extra panel a quarter below; with 2 they share it.
struct plot_page {
	const char *program = "plot";
	std::string title;
	int extra = 0;
};

// The PLplot device for a file's extension: "svg", "memcairo" (PNG: drawn
// in memory, encoded by libpng), "pdfcairo", or null for an extension
// none draws.
const char *plot_device(std::string_view ext);

// A plot being drawn. `forget` is called once the process has ended and
// before its ID is freed (reaped): whoever may signal the process (a
// thread that ends the run on SIGINT, say) drops its ID there, so a signal
// never reaches another process that takes the ID later.
struct plot_job {
	pid_t pid = -1;
	int pipe = -1; // panels go down it
	const char *device = nullptr;
	const char *program = "plot";
	int extra = 0;  // the page's extra panels
	int panels = 0; // still to be sent
	std::function<void()> forget;
	plot_job() = default;
	plot_job(const plot_job &) = delete;
	plot_job &operator=(const plot_job &) = delete;
	~plot_job(); // ends a process still running, then forgets and reaps it
};

// Starts the plot into file (staged, not finished) with device, a value
// plot_device gave. 0 or errno.
int plot_start(plot_job &job, const staged_file &file, const char *device, const plot_page &page);

// Sends panel number index (0 the main one, 1 .. extra the others), each
// once: a panel sent twice fails the plot. After the last the pipe is
// closed. 0 or errno (EINVAL for an index out of range or too many
// curves; EPIPE when the process has ended).
int plot_send(plot_job &job, int index, const plot_panel &panel);

// Waits for the plot, checks that the file is whole, then finishes it.
// Returns 0, or the exit status after printing why (as "PROGRAM: ...
// FILE: ..."): 73 when the driver is missing or does not start, 74 when
// the file cannot be written or is short, 70 when PLplot failed otherwise
// or panels were left unsent.
int plot_end(plot_job &job, staged_file &file);
