// firmeasure's runs: the sweep file, the analysis of a recording or of a
// live measurement, and the average of measurement files.
#pragma once

#include "options.h"

#include <span>
#include <string>

// "firmeasure: " and the message on standard error; returns status.
__attribute__((format(printf, 2, 3))) int fail(int status, const char *format, ...);

int run_measure(const measure_settings &settings);
