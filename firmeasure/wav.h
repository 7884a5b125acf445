// WAV files through libsndfile: recordings in, sweeps and impulse
// responses out.
#pragma once

#include "staged.h"

#include <span>
#include <string>
#include <vector>

struct wav_data {
	int rate = 0;
	int channels = 0;
	size_t frames = 0;
	std::vector<double> samples; // interleaved, integer formats scaled to +-1
};

// Reads any format libsndfile reads. false with why set (libsndfile's
// own words) when it cannot.
bool read_wav(const char *path, wav_data &wav, std::string &why);

// One channel of an interleaved recording.
std::vector<double> channel_of(const wav_data &wav, int channel);

// Mono 32-bit float WAV at rate into the staged file, then finish. 0 or
// errno (EIO when libsndfile fails).
int write_float_wav(staged_file &file, std::span<const double> samples, int rate);
