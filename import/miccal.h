// Microphone calibration files: an optional first line with the
// sensitivity ("Sens Factor =-1.2dB, SERNO: ..."), then rows of frequency
// and dB (a third column, the phase, is passed over); lines starting with
// '#', '*' or '"' are comments.
#pragma once

#include "rew.h"
#include "text.h"

#include <string_view>

struct mic_calibration {
	db_curve curve;        // dB to take off the measurement at each frequency
	bool has_sens = false; // the first line gave a sensitivity
	double sens_db = 0;    // dB, as given
};

// Rows separated by blanks, TABs, commas or semicolons; frequencies above 0
// and rising. false with err's line and what set for anything else, or for
// a file with no row.
bool parse_mic_calibration(std::string_view text, mic_calibration &cal, import_error &err);
