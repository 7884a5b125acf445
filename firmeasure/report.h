// What firmeasure tells: the measurement as REW's text export, and the
// summary for the person at the microphone.
#pragma once

#include "analyse.h"
#include "options.h"

#include <string>

// Where the measurement came from, for the header.
struct measure_source {
	std::string what;        // "/dev/dsp, play 0, record 0" or "recording x.wav, channel 0"
	std::string calibration; // the calibration file, or "none"
	double sens_db = 0;      // its sensitivity, when it gave one
	bool has_sens = false;
};

// '*' header lines (the program, the date, the sweep, the smoothing, the
// delay, the signal-to-noise ratio, the calibration), then the rows
// "Freq(Hz) SPL(dB) Phase(degrees)", TAB-separated.
std::string rew_text(const measure_settings &settings, const sweep &s, const measurement &m,
                     const measure_source &source);

// The summary: delay, input level, signal-to-noise ratio, distortion at
// 1 kHz, and the warnings.
std::string summary_text(const sweep &s, const measurement &m);
