// The live measurement: the sweep played on one channel of the OSS device
// and recorded in full duplex, for every command that measures.
#pragma once

#include "sweep.h"

#include <atomic>
#include <string>
#include <vector>

struct duplex_request {
	const char *device = "/dev/dsp";
	int play = 0, record = 0, loopback = -1; // channels; -1: no loopback
	int repeat = 1;                          // sweeps played back to back
	// Set by another thread to end the measurement early; may be null.
	const std::atomic<bool> *stop = nullptr;
};

enum class duplex_result {
	ok,
	unavailable, // the device is missing, or will not run at the rate or in 32 bits
	failed,      // a request failed, or the device stalled
	stopped,     // *stop was set
};

// Plays request.repeat sweeps on the play channel (and on the loopback
// channel's output, where its cable starts) and returns the record channel
// (and the loopback channel, when asked) as the mean of the repeats. why
// says what went wrong when the result is not ok.
duplex_result play_and_record(const duplex_request &request, const sweep &s,
                              std::vector<double> &record, std::vector<double> &loopback,
                              std::string &why);
