// The figures of a design that firdesign prints and firtune serves: the
// latency, the peak gain, the largest deviation from the request, and the
// advice that follows from them.
#pragma once

#include "eq.h"
#include "response.h"

#include <cstdint>
#include <string>
#include <vector>

// Longest filter the length advice tries.
inline constexpr int32_t longest_advised = 1 << 20;

struct design_summary {
	double rate = 0;                 // Hz
	int32_t length = 0;              // taps
	int32_t latency = 0;             // samples
	double latency_ms = 0;           // ms
	double bin_spacing = 0;          // Hz
	peak top;                        // the highest gain
	deviation dev;                   // the largest deviation from the request
	double tap_sum = 0;              // sum of |taps|
	std::vector<std::string> advice; // each without "advice: " and newline
};

// The summary of the last successful eq_design of state, whose layout was
// text, with r its response. imported: the layout came from an importer,
// so the advice can speak of the source.
design_summary summarize(const eq_state &state, const response &r, const char *text, bool imported);

// The summary as firdesign prints it, one "name: value" a line.
std::string summary_text(const design_summary &s);
