// The audio control device: the one room of the tools that issues ioctl.
// Each request helper returns ioctl's result (negative on failure, errno
// set); the commands decide what to print and how to end.
#pragma once

#include "requests.h"
#include "unique_fd.h"

#include <cstdint>

// Opens the control node read-write, retrying on EINTR. -1 on failure,
// also when path is null.
int device_open(const char *path);

// Sample-rate request: the rate in Hz.
int device_sample_rate(int device, int32_t &rate);

// Filter-read request of `target` with channel 0, length 0 and no
// coefficients; the answer leaves the filter length N in fir.length.
int device_read_filter(int device, const eq_target &target, fir_record &fir);

// Part-information request of `target`; the answer holds the part's name.
int device_part_info(int device, const eq_target &target, part_info_record &info);

// Sends the filter-write request `code` with `record` for channels 0, 1, ...
// until the device rejects one or `count` channels are written (a negative
// count sets no limit). Returns the number of channels written.
int32_t channel_sweep(int device, unsigned long code, fir_record &record, int32_t count);

// Filter-write request of `target` for one channel of `part`: the N
// coefficients at `coefficients`, or, when that is null, the disable
// request (length still N, as the filter read answered it).
int device_write_channel(int device, const eq_target &target, int32_t part, int32_t channel,
                         int32_t length, double *coefficients);

// Filter-read requests of `target` for channels 0, 1, ... of `part` until
// one is refused or `limit` channels answered. Returns the number of
// channels that answered; `limit` means none was refused.
int32_t device_count_channels(int device, const eq_target &target, int32_t part, int32_t limit);

// What a design needs to know of a part: opens `path`, then asks for the
// sample rate and for the filter length of `target` (fir.part must be set).
// Returns null on success, with the device left open in `device`, or the
// message of the step that failed ("Cannot open DSP device\n", ...).
const char *device_query(const char *path, const eq_target &target, unique_fd &device,
                         int32_t &rate, fir_record &fir);

// The designer needs a positive rate and length; the device is trusted for
// neither. Null when both are usable, else the message to print.
const char *check_rate_length(int32_t rate, int32_t length);
