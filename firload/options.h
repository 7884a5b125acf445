// Command line: run settings and option parsing.
#pragma once

#include "requests.h"

#include <getopt.h>

#include <cstdint>
#include <optional>

struct run_settings {
	const char *device = nullptr;              // -d; null when absent
	const eq_target *target = &default_target; // -w
	int32_t part = 0;                          // -p
	int32_t channels = -1;                     // -c; negative: no limit
	int input = 0;                             // -f; 0 is standard input
	bool off = false;                          // -o
};

// atoi's reading (leading white space, optional sign, decimal digits, the
// rest ignored, no digits gives 0), but nothing outside the signed 32-bit
// range: such a value gives no result instead of wrapping.
std::optional<int32_t> parse_int(const char *text);

void print_usage();

// The option table getopt_long reads.
extern const char *const short_options;
extern const option long_options[];

// Parses argv into settings, acting on each option in order (-q sets the
// quiet flag, -f opens its file). Returns 0 when the options are accepted,
// else EX_USAGE after the message and the usage text have been printed.
int parse_options(int argc, char **argv, run_settings &settings);
