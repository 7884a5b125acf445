#include "access.h"

#include "diag.h"
#include "load.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sysexits.h>
#include <unistd.h>

#include <cstdint>

int32_t channel_sweep(int device, unsigned long code, fir_record &record, int32_t count)
{
	record.channel = 0;
	for (;;) {
		if (ioctl(device, code, &record) < 0)
			break;
		if (record.channel == INT32_MAX) // a device that never says no
			break;
		record.channel++;
		if (record.channel == count)
			break;
	}
	return record.channel;
}

int run_device(const run_settings &settings)
{
	fir_record fir{};
	part_info_record info{};
	fir.part = settings.part;
	info.part = settings.part;

	if (settings.device == nullptr) {
		diag("Cannot open DSP device\n");
		return EX_SOFTWARE;
	}
	unique_fd device(open(settings.device, O_RDWR));
	if (device.get() < 0) {
		diag("Cannot open DSP device\n");
		return EX_SOFTWARE;
	}
	int32_t rate = 0;
	if (ioctl(device.get(), req_sample_rate, &rate) < 0) {
		diag("Cannot get sample rate\n");
		return EX_SOFTWARE;
	}
	if (ioctl(device.get(), settings.target->fir_read, &fir) < 0) {
		diag("Cannot get current FIR filter\n");
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
