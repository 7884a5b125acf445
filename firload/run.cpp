#include "run.h"

#include "device.h"
#include "diag.h"
#include "load.h"

#include <sysexits.h>

#include <cstdint>

int run_device(const run_settings &settings)
{
	fir_record fir{};
	part_info_record info{};
	fir.part = settings.part;
	info.part = settings.part;

	unique_fd device;
	int32_t rate = 0;
	if (const char *failed =
	            device_query(settings.device, *settings.target, device, rate, fir)) {
		diag("%s", failed);
		return EX_SOFTWARE;
	}
	if (settings.off) {
		// The record goes out as the read left it: a null coefficient
		// address switches the channel's filter off.
		if (channel_sweep(device.get(), settings.target->fir_write, fir,
		                  settings.channels) == 0) {
			diag("Cannot disable FIR filter\n");
			return EX_SOFTWARE;
		}
		return 0;
	}
	return load_filter(settings, device, rate, fir, info);
}
