// firmeasure: play an exponential sweep, record it, and give the response
// of the speaker and the room as a measurement firdesign imports.
#include "options.h"
#include "run.h"

#include <sysexits.h>

#include <cstdio>

int main(int argc, char **argv)
{
	measure_settings settings;
	switch (parse_measure_options(argc, argv, settings)) {
	case parse_result::help: print_measure_usage(stdout, true); return 0;
	case parse_result::usage_error: return EX_USAGE;
	case parse_result::run: break;
	}
	return run_measure(settings);
}
