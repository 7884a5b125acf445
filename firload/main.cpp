// firload: design a linear-phase FIR equalizer from an EQ layout and load it
// into one part of an audio DSP device, or switch that filter off.
#include "run.h"
#include "options.h"

#include <cstdio>

int main(int argc, char **argv)
{
	// Fully buffered: the report costs one write per buffer, and everything,
	// getopt_long's complaints included, comes out in order.
	std::setvbuf(stderr, nullptr, _IOFBF, BUFSIZ);

	run_settings settings;
	if (int status = parse_options(argc, argv, settings); status != 0)
		return status;
	return run_device(settings);
}
