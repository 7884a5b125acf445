// firdesign: design the filter firload would load, without loading it;
// show its response as a summary, a table and a plot, and export the taps.
#include "options.h"
#include "run.h"

#include <sysexits.h>

#include <cstdio>

int main(int argc, char **argv)
{
	design_settings settings;
	switch (parse_design_options(argc, argv, settings)) {
	case parse_result::help: print_design_usage(stdout, true); return 0;
	case parse_result::usage_error: return EX_USAGE;
	case parse_result::run: break;
	}
	return run_design(settings);
}
