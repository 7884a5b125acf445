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

// Points of a curve in dB, read as linear in dB over log frequency between
// them and held flat beyond its ends.
struct db_curve {
	std::vector<double> freq; // Hz, strictly rising
	std::vector<double> db;
};

// Rows of frequency and dB (and for a measurement, an optional phase),
// separated by TABs, blanks, commas or semicolons; lines starting with '*'
// or '#' and blank lines are passed; so is one header line of words before
// the first row. columns is the most numbers a row may hold (2 or 3).
bool parse_db_curve(std::string_view text, size_t columns, db_curve &curve, import_error &err);

double curve_db(const db_curve &curve, double f);

// The 1/N-octave-smoothed measurement brought to the target (or to flat)
// within [low, high] Hz, clamped to -max_cut..+max_boost dB, fading to 0 dB
// outside over a third of an octave; in dB at f_k = 2^(k/96) Hz for k from
// first_k on.
struct correction {
	int first_k = 0;
	std::vector<double> db;
};
correction correct(const db_curve &measured, const db_curve *target,
                   const correction_options &options, double top);

// Points per octave of the grid the correction is computed on.
inline constexpr int correction_per_octave = 96;

// The correction's dB at f: linear over log frequency between grid points.
double correction_db(const correction &c, double f);
