// The EQ layout, reading it, and the target spectrum it describes.
//
// Layout: an optional header line whose first four characters are "norm" in
// any case (it asks for normalized coefficients), then "<freq> <gain>" pairs
// as scanf's %lf reads them, frequencies in Hz not decreasing, gains as
// linear amplitude factors. The gain is flat below the first breakpoint,
// linear between breakpoints and flat above the last one.
#pragma once

#include "diag.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Largest layout read from an input, in bytes; the buffer adds the NUL.
inline constexpr size_t max_layout = 65534;

enum class read_result { ok, too_much, error };

// Reads the whole input descriptor into buffer and ends it with a NUL: on
// success buffer holds the bytes read and the NUL. Input of more than limit
// bytes is too much. A NUL in the input ends the layout there, but the
// bytes after it still count toward the limit. EINTR is retried; another
// read error is an error.
read_result read_layout(int input, std::vector<char> &buffer, size_t limit = max_layout);

// One straight piece of the gain curve as the reader built it: from
// (f0, g0) to (f1, g1), frequencies in Hz, gains linear.
struct eq_segment {
	double f0, g0, f1, g1;
};

// Where the designer's text goes: the layout heading, design report and
// listing to `report`; parse and design errors to `errors`.
struct eq_output {
	printer report;
	printer errors;
	// When given, a parse failure stores here the 1-based line of the text
	// where the breakpoint that failed starts (the last line when only
	// white space was left).
	int *error_line = nullptr;
};

// Both to diag (standard error, silenced by -q).
eq_output eq_diag_output();

// Fills spectrum (`length` doubles, FFTW half-complex order) with the gains
// the layout asks for at bins 0 to length/2; all imaginary parts are 0.
// Sets *normalize from the header before any breakpoint is read. Breakpoints
// are read only while bins still need them. Prints the layout heading and,
// on failure, the parse message. Returns 1 on success, 0 on failure.
// Requires rate > 0 (Hz) and length >= 1. When segments is given, it
// receives every piece of the curve in the order the reader built them.
int eq_build_spectrum(const char *text, double rate, int32_t length, double *spectrum,
                      int32_t *normalize, const eq_output &out,
                      std::vector<eq_segment> *segments = nullptr);

// The same, printing through diag.
int eq_build_spectrum(const char *text, double rate, int32_t length, double *spectrum,
                      int32_t *normalize);

// One breakpoint of a layout as its text holds it: the 1-based line it
// starts on and where its gain's number lies in the text.
struct eq_breakpoint {
	double freq = 0, gain = 0;
	int line = 0;
	size_t gain_begin = 0, gain_end = 0;
};

// Every breakpoint of the NUL-terminated layout text, read as the designer
// reads them but to the end, whatever the length. false at the first one
// that does not parse or lowers the frequency; out then holds those before.
bool eq_read_breakpoints(const char *text, std::vector<eq_breakpoint> &out);

// The gain the pieces give at f Hz, by the rule the spectrum was built with:
// the piece holding f, flat at the last gain beyond the last piece.
double eq_segments_gain(std::span<const eq_segment> segments, double f);
