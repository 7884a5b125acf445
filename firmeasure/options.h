// firmeasure's command line.
#pragma once

#include "sweep.h"

#include <cstdio>
#include <vector>

enum class measure_mode { live, sweep_file, recording, average };

struct measure_settings {
	measure_mode mode = measure_mode::live;
	const char *device = "/dev/dsp"; // -D
	sweep_request sweep;             // -r, -t, -l, --from, --to
	bool rate_given = false;
	int play = 0, record = 0, loopback = -1; // channels; -1: no loopback
	int repeat = 1;
	const char *mic_cal = nullptr;        // --mic-cal
	double smooth = 0;                    // --smooth 1/N; 0: none
	double window_ms = 0;                 // --window; 0: the whole response
	const char *output = nullptr;         // -o; null or "-": standard output
	const char *ir = nullptr;             // --ir
	const char *plot = nullptr;           // -P
	const char *sweep_path = nullptr;     // --sweep
	const char *recording_path = nullptr; // --recording
	std::vector<const char *> inputs;     // --average's files
};

enum class parse_result { run, help, usage_error };

inline constexpr int largest_repeat = 64;

// Parses argv, printing "firmeasure: <why>" and the usage on standard
// error for a usage error.
parse_result parse_measure_options(int argc, char **argv, measure_settings &settings);

void print_measure_usage(FILE *to, bool full);
