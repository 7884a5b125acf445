// --apply: load every channel a profile names, without a server.
#pragma once

#include "options.h"

// Returns the exit status: 0 only when every channel named was written.
int apply_profile(const tune_settings &settings);
