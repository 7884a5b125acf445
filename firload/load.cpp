#include "load.h"

#include "device.h"
#include "diag.h"
#include "eq.h"

#include <sysexits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

int load_filter(const run_settings &settings, unique_fd &device, int32_t rate, fir_record &fir,
                part_info_record &info)
{
	if (const char *invalid = check_rate_length(rate, fir.length)) {
		diag("%s", invalid);
		return EX_SOFTWARE;
	}
	eq_state state;
	if (eq_init(state, rate, fir.length) == 0) {
		diag("Cannot set up filter designer\n");
		return EX_SOFTWARE;
	}
	eq_guard guard{state};

	eq_design(state, "");

	bool from_stdin = settings.input == 0;
	if (from_stdin) {
		if (device_part_info(device.get(), *settings.target, info) < 0) {
			diag("Cannot read part information\n");
			return EX_SOFTWARE;
		}
		char name[part_name_size + 1] = {};
		std::memcpy(name, info.name, part_name_size);
		diag("Please enter EQ layout for %s, <freq> <gain>:\n", name);
	}
	std::fflush(stderr); // all of it is out before we wait for input

	std::vector<char> text;
	switch (read_layout(settings.input, text)) {
	case read_result::ok: break;
	case read_result::too_much: diag("Too much input data\n"); return EX_SOFTWARE;
	case read_result::error: diag("Cannot read EQ layout\n"); return EX_SOFTWARE;
	}
	close(settings.input);
	if (from_stdin)
		diag("Loading new EQ layout\n");

	if (eq_design(state, text.data()) == 0) {
		diag("Invalid equalizer data\n");
		return EX_SOFTWARE;
	}

	fir.coefficients = state.time;
	if (channel_sweep(device.get(), settings.target->fir_write, fir, settings.channels) == 0) {
		diag("Cannot set FIR filter on channel\n");
		return EX_SOFTWARE;
	}
	device.reset();
	eq_free(state);
	return 0;
}
