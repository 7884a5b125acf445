// Filter load: design a filter from the user's layout and write it to every
// channel of the part.
#pragma once

#include "options.h"
#include "requests.h"
#include "unique_fd.h"

#include <cstdint>

// Takes over after the filter-read request answered `fir` (length holds N).
// Closes the input descriptor once the layout has been read. Returns the exit
// status.
int load_filter(const run_settings &settings, unique_fd &device, int32_t rate, fir_record &fir,
                part_info_record &info);
