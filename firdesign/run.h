// firdesign's run once the options are accepted.
#pragma once

#include "options.h"

// Designs, writes the outputs and prints the summary. Returns the exit
// status (sysexits).
int run_design(const design_settings &settings);
