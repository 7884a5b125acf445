// From a recording of the sweep to the response: deconvolution by the
// sweep's analytic inverse, the impulse response's start, its window, the
// transfer function on the 1/48-octave grid, the signal-to-noise ratio and
// the harmonic distortion.
#pragma once

#include "sweep.h"

#include <cstddef>
#include <span>
#include <string>
#include <vector>

struct analysis_request {
	std::span<const double> recording; // the measured input, full scale 1
	std::span<const double> loopback;  // the timing reference; empty: none
	double window_ms = 0;              // 0: up to the silence after the sweep
	double smooth = 0;                 // 1/N octave, power average; 0: none
};

inline constexpr int grid_per_octave = 48;

struct measurement {
	// The response at f1 2^(k/48), k = 0, 1, ... up to f2: dB relative to
	// unity transfer, phase in degrees within -180..180.
	std::vector<double> freq, db, phase;
	// The windowed impulse response, from pre samples before its start.
	std::vector<double> impulse;
	size_t pre = 0;
	long delay = 0;             // samples: peak, or peak less the loopback's
	bool from_loopback = false; // delay measured against the loopback
	double input_peak_db = 0;   // dBFS of the recording
	double snr_db = 0;          // the response against the noise
	double h2 = -1, h3 = -1;    // % at 1 kHz; negative when not measured
	bool clipped = false;       // full scale reached, briefly
};

enum class analysis_result {
	ok,
	refused, // the recording cannot be measured: why says what was found
	failed,  // out of memory or FFTW had no plan
};

// Consecutive samples at full scale that make a recording clipped.
inline constexpr size_t clip_run = 4;
// Below this peak-to-noise ratio of the deconvolved signal there is no sweep.
inline constexpr double least_peak_to_noise_db = 25;
// The least part of each octave's deconvolved energy that lies within the
// second after the start, for most octaves.
inline constexpr double least_held = 0.5;
// The least signal-to-noise ratio before the summary warns.
inline constexpr double low_snr_db = 30;

analysis_result analyse(const sweep &s, const analysis_request &request, measurement &m,
                        std::string &why);

// The mean of count consecutive segments of segment samples each: what K
// sweeps played back to back average to (in the complex domain, as the
// deconvolution is linear).
std::vector<double> average_segments(std::span<const double> recording, size_t segment,
                                     size_t count);
