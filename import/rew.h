// REW measurement exports and target curves, and the correction that
// brings a smoothed measurement to a target.
#pragma once

#include "text.h"

#include <string>
#include <string_view>
#include <vector>

// How a measurement becomes a correction.
struct correction_options {
	double smooth = 6;                  // 1/N-octave smoothing; 0: none
	std::string target;                 // text of the target curve; empty: flat
	std::string target_name;            // its file name, for messages
	double low = 20, high = 20000;      // Hz: where the correction applies
	double max_boost = 3, max_cut = 12; // dB
};

// A correction range as "LO:HI" in Hz: two finite numbers as strtod reads
// them, nothing else, with 0 < LO < HI. false, leaving low and high alone,
// when text is not that.
bool parse_range(std::string_view text, double &low, double &high);

// Points of a curve in dB, read as linear in dB over log frequency between
// them and held flat beyond its ends.
struct db_curve {
	std::vector<double> freq; // Hz, strictly rising
	std::vector<double> db;
	std::vector<int> lines; // the source line of each point
};

// Rows of frequency and dB (and for a measurement, an optional phase),
// separated by TABs, blanks, commas or semicolons; in a row with a
// semicolon a comma is a decimal comma. Lines starting with '*' or '#' and
// blank lines are passed; so is one header line of words before the first
// row. columns is the most numbers a row may hold (2 or 3). log, when
// given, receives the lines passed over and why.
bool parse_db_curve(std::string_view text, size_t columns, db_curve &curve, import_error &err,
                    line_log *log = nullptr);

// A curve typed by hand: "frequency dB" pairs separated by blanks, one a
// line, frequencies rising; '#' starts a comment. One point at least.
bool parse_db_pairs(std::string_view text, db_curve &curve, import_error &err,
                    line_log *log = nullptr);

// The source line of the point nearest to f Hz in dB terms: of the two
// points around f, the higher one.
int curve_line_at(const db_curve &curve, double f);

double curve_db(const db_curve &curve, double f);

// The 1/N-octave-smoothed measurement brought to the target (or to flat)
// within [low, high] Hz, clamped to -max_cut..+max_boost dB, fading to 0 dB
// outside over an octave; in dB at f_k = 2^(k/96) Hz for k from first_k on.
// [low, high] is the options' range clipped to the measurement's own.
struct correction {
	int first_k = 0;
	std::vector<double> db;
	// At the same points: the smoothed measurement and the target shifted
	// to its level, in dB.
	std::vector<double> smoothed, target;
	double low = 0, high = 0;
};
correction correct(const db_curve &measured, const db_curve *target,
                   const correction_options &options, double top);

// Points per octave of the grid the correction is computed on.
inline constexpr int correction_per_octave = 96;

// How many points of that grid lie within [low, high] Hz.
int correction_points(double low, double high);

// f_k = 2^(k/96) Hz.
double correction_freq(int k);

// The correction's dB at f: linear over log frequency between grid points.
double correction_db(const correction &c, double f);
