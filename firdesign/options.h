// firdesign's command line.
#pragma once

#include "import.h"
#include "minphase.h"
#include "requests.h"

#include <cstdint>
#include <cstdio>

struct design_settings {
	int32_t rate = 48000;  // -r, Hz
	int32_t length = 4096; // -n, taps
	bool rate_given = false, length_given = false;
	const char *device = nullptr;              // -d: rate and length from the device
	const eq_target *target = &default_target; // -w
	int32_t part = 0;                          // -p
	bool target_given = false, part_given = false;
	const char *plot = nullptr;                 // -P
	const char *response = nullptr;             // -R
	const char *taps = nullptr;                 // -T
	const char *layout = nullptr;               // -L
	bool report = false;                        // --report
	bool quiet = false;                         // -q: no summary
	const char *input = nullptr;                // the file operand; null or "-": standard input
	input_format format = input_format::layout; // -i
	bool format_given = false;
	correction_options correction;     // --smooth, --target, --range, --max-boost, --max-cut
	const char *target_file = nullptr; // --target
	bool correction_given = false;
	bool gain_given = false; // --gain: shift the whole curve by gain_db
	bool gain_auto = false;  // --gain auto: so that the true peak is 0 dB
	double gain_db = 0;
	eq_phase phase = eq_phase::linear; // --phase
};

// The largest shift --gain takes either way, in dB.
inline constexpr double largest_gain_shift = 120;

// The usage error of correction options given for a source that is not a
// measurement.
inline constexpr const char *correction_needs_rew =
        "--smooth, --target, --range, --max-boost and --max-cut go with -i rew";

// What parse_design_options decided.
enum class parse_result { run, help, usage_error };

// Parses argv, printing "firdesign: <why>" and the usage on standard error
// for a usage error.
parse_result parse_design_options(int argc, char **argv, design_settings &settings);

// The synopsis, and with full the options one a line.
void print_design_usage(FILE *to, bool full);
