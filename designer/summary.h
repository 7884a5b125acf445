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
	double rate = 0;    // Hz
	int32_t length = 0; // taps
	eq_phase phase = eq_phase::linear;
	int32_t latency = 0;   // samples: the centre, or for minimum phase the impulse peak
	double latency_ms = 0; // ms
	// Minimum phase: the group delay's range within the band where the
	// request is within 60 dB of its highest gain, in ms.
	bool delay_any = false;
	double delay_low_ms = 0, delay_high_ms = 0;
	double bin_spacing = 0;          // Hz
	peak top;                        // the highest gain
	deviation dev;                   // the largest deviation from the request
	double tap_sum = 0;              // sum of |taps|
	std::vector<std::string> advice; // each without "advice: " and newline
	// What the source was and which of its lines were passed over, each
	// a line of its own at the top ("source: ...", "line N: ...").
	std::vector<std::string> notes;
	// Gains of the layout that mute or invert, without "warning: ".
	std::vector<std::string> warnings;
	bool shifted = false; // the curve was shifted by gain_db before the design
	double gain_db = 0;
};

// The summary of the last successful eq_design of state, whose layout was
// text, with r its response. imported: the layout came from an importer,
// so the advice can speak of the source. The peak is the taps' true peak
// and the deviation is looked for everywhere from 20 Hz to min(20 kHz,
// rate/2), not on r's points alone. For minimum phase the group delay's
// range comes from r's points within the band (r.delay_ms).
design_summary summarize(const eq_state &state, const response &r, const char *text, bool imported);

// The same with the largest deviation, and the length advice, looked for
// within b only (a measurement's correction range, say).
design_summary summarize(const eq_state &state, const response &r, const char *text, bool imported,
                         band b);

// The warnings of a layout: a gain of 0 mutes, a gain below 0 inverts the
// polarity; both say that gains are linear factors. Empty when there is
// neither.
std::vector<std::string> gain_warnings(const char *text);

// The layout text with every breakpoint's gain multiplied by factor,
// everything else (header, spacing, lines) as it was.
std::string scale_layout(const char *text, double factor);

// The summary as firdesign prints it, one "name: value" a line.
std::string summary_text(const design_summary &s);
