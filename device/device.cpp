#include "device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

int device_open(const char *path)
{
	if (path == nullptr) {
		errno = ENOENT;
		return -1;
	}
	int fd;
	do
		fd = open(path, O_RDWR);
	while (fd < 0 && errno == EINTR);
	return fd;
}

int device_sample_rate(int device, int32_t &rate)
{
	return ioctl(device, req_sample_rate, &rate);
}

int device_read_filter(int device, const eq_target &target, fir_record &fir)
{
	fir.channel = 0;
	fir.length = 0;
	fir.coefficients = nullptr;
	return ioctl(device, target.fir_read, &fir);
}

int device_part_info(int device, const eq_target &target, part_info_record &info)
{
	return ioctl(device, target.part_info, &info);
}

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

int device_write_channel(int device, const eq_target &target, int32_t part, int32_t channel,
                         int32_t length, double *coefficients)
{
	fir_record fir{};
	fir.part = part;
	fir.channel = channel;
	fir.length = length;
	fir.coefficients = coefficients;
	return ioctl(device, target.fir_write, &fir);
}

int32_t device_count_channels(int device, const eq_target &target, int32_t part, int32_t limit)
{
	int32_t channel = 0;
	for (; channel < limit; channel++) {
		fir_record fir{};
		fir.part = part;
		fir.channel = channel;
		if (ioctl(device, target.fir_read, &fir) < 0)
			break;
	}
	return channel;
}

const char *device_query(const char *path, const eq_target &target, unique_fd &device,
                         int32_t &rate, fir_record &fir)
{
	int fd = device_open(path);
	if (fd < 0)
		return "Cannot open DSP device\n";
	device.reset();
	device = unique_fd(fd);
	if (device_sample_rate(device.get(), rate) < 0)
		return "Cannot get sample rate\n";
	if (device_read_filter(device.get(), target, fir) < 0)
		return "Cannot get current FIR filter\n";
	return nullptr;
}

const char *check_rate_length(int32_t rate, int32_t length)
{
	if (rate <= 0)
		return "Invalid sample rate\n";
	if (length <= 0)
		return "Invalid filter length\n";
	return nullptr;
}
