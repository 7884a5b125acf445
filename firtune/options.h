// firtune's command line.
#pragma once

#include "requests.h"

#include <cstdint>
#include <cstdio>

struct tune_settings {
	const char *device = nullptr;              // -d; null: design only
	const eq_target *target = &default_target; // -w
	int32_t part = 0;                          // -p
	int32_t channels = 0;                      // -c; 0: counted by filter reads
	int32_t rate = 48000;                      // -r, Hz, without -d
	int32_t length = 4096;                     // -n, taps, without -d
	int port = 0;                              // --port; 0: any free port
	double max_gain_db = 0;                    // --max-gain, when max_gain_given
	bool max_gain_given = false;
	const char *profile = nullptr; // the profile operand
	bool apply = false;            // --apply: load the profile and end
	const char *audio = nullptr;   // -D, the audio device; null: no measuring
	int32_t record = 0;            // --record: the microphone's input channel
	int32_t loopback = -1;         // --loopback: the timing reference; -1: none
	bool record_given = false, loopback_given = false;
};

// What parse_tune_options decided.
enum class tune_parse { run, help, usage_error };

// Parses argv, printing "firtune: <why>" and the usage on standard error
// for a usage error.
tune_parse parse_tune_options(int argc, char **argv, tune_settings &settings);

// The synopsis, and with full the options one a line.
void print_tune_usage(FILE *to, bool full);
