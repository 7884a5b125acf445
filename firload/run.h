// The tool's run once the options are accepted: device access, then the
// disable path or the filter load.
#pragma once

#include "options.h"

// The device access sequence and what follows it. Returns the exit status.
int run_device(const run_settings &settings);
