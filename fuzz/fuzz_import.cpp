// libFuzzer target: the importers on arbitrary text. The first byte picks
// the format (Equalizer APO, REW measurement, a curve in dB, or with both
// the dB and REW bits a microphone calibration), the rate and the
// smoothing; the rest is the source. Either a layout within firload's limit that firload's
// reader accepts, or a refusal that says what is wrong and, where one line is at fault, which.
#include "import.h"
#include "layout.h"
#include "miccal.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	input_format format = data[0] & 0x80 ? input_format::db
	                      : data[0] & 1  ? input_format::rew
	                                     : input_format::eqapo;
	static const double rates[] = {8000, 44100, 48000, 96000, 192000, 22050, 32000, 16000};
	double rate = rates[(data[0] >> 1) & 7];
	std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

	if ((data[0] & 0x81) == 0x81) {
		mic_calibration cal;
		import_error err;
		if (!parse_mic_calibration(text, cal, err)) {
			if (err.what.empty()) {
				std::fprintf(stderr, "calibration refused without a reason\n");
				std::abort();
			}
			return 0;
		}
		for (size_t i = 0; i < cal.curve.freq.size(); i++)
			if (!(cal.curve.freq[i] > 0) || !std::isfinite(cal.curve.db[i]) ||
			    (i > 0 && !(cal.curve.freq[i] > cal.curve.freq[i - 1]))) {
				std::fprintf(stderr, "calibration point %zu out of order\n", i);
				std::abort();
			}
		return 0;
	}

	correction_options options;
	options.smooth = (data[0] >> 4) & 7;
	std::string layout;
	import_error err;
	if (!import_layout(text, format, rate, options, layout, err)) {
		if (err.what.empty()) {
			std::fprintf(stderr, "refused without a reason\n");
			std::abort();
		}
		return 0;
	}
	if (layout.empty() || layout.size() > max_layout) {
		std::fprintf(stderr, "layout of %zu bytes\n", layout.size());
		std::abort();
	}
	std::vector<double> spectrum(64);
	int32_t normalize = 0;
	eq_output silent{};
	if (eq_build_spectrum(layout.c_str(), rate, 64, spectrum.data(), &normalize, silent) != 1) {
		std::fprintf(stderr, "firload cannot read the layout:\n%s", layout.c_str());
		std::abort();
	}
	return 0;
}
