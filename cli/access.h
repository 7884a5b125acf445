// Device access: open the control device, learn rate and filter length,
// disable the filter or hand over to the filter load; the channel sweep.
#pragma once

#include "options.h"
#include "requests.h"
#include "unique_fd.h"

#include <cstdint>

// Sends the filter-write request `code` with `record` for channels 0, 1, ...
// until the device rejects one or `count` channels are written (a negative
// count sets no limit). Returns the number of channels written.
int32_t channel_sweep(int device, unsigned long code, fir_record &record, int32_t count);

// The device access sequence and what follows it. Returns the exit status.
int run_device(const run_settings &settings);
