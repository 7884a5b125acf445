// The EQ files people already have, turned into firload layouts: Equalizer
// APO configurations (AutoEq's and REW's exports among them), REW
// measurements, which become a room or speaker correction, and curves of
// frequency and dB typed by hand.
#pragma once

#include "rew.h"
#include "text.h"

#include <string>
#include <string_view>
#include <vector>

enum class input_format { layout, eqapo, rew, db };

// What a source file says, as far as the text shows: a REW measurement
// header ('*' lines before the data), Equalizer APO Preamp, Filter or
// GraphicEQ lines, or else a layout. A curve in dB looks like a layout and
// is never recognised: it must be named. Text in UTF-16 or UTF-32 counts as
// Equalizer APO, the format such files come in, so that its reader refuses
// it with a reason; a leading UTF-8 byte-order mark is passed over.
input_format detect_format(std::string_view text);

// Parses "layout", "eqapo", "rew" or "db"; false for anything else.
bool format_named(std::string_view name, input_format &format);

// What an import took from its source besides the layout, for the user.
struct import_report {
	// "source: ..." first (what was taken, and for a measurement where it
	// is corrected), then one note for each source line that was ignored:
	// "line N: ignored: why", or "lines N-M: ignored: why" for lines in a
	// row passed over for the same reason.
	std::vector<std::string> notes;
	// A measurement's curves at the importer's own points (rising
	// frequencies, 96 an octave): the smoothed measurement and the target
	// shifted to its level, in dB. Empty for other sources.
	std::vector<double> curve_hz, measured_db, target_db;
};

// Turns the source text into a layout for rate Hz. false with err set when
// the source is refused or the layout cannot be kept within its limits;
// layout is then left as it was. report, when given, receives what the
// import took and ignored. A leading UTF-8 byte-order mark is passed over,
// in the source and in the target; UTF-16 and UTF-32 are refused.
bool import_layout(std::string_view text, input_format format, double rate,
                   const correction_options &options, std::string &layout, import_error &err,
                   import_report *report = nullptr);
