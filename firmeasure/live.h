// The live measurement: the sweep played on the OSS device and recorded
// in full duplex.
#pragma once

#include "options.h"
#include "sweep.h"

#include <vector>

// Plays settings.repeat sweeps on the play channel and returns the record
// channel (and the loopback channel, when asked) as the mean of the
// repeats. 0, or the status after the message: 69 when the device will not
// run at the rate or in a 32-bit format, 70 when a request fails.
int record_live(const measure_settings &settings, const sweep &s, std::vector<double> &record,
                std::vector<double> &loopback);
