#include "live.h"

#include "analyse.h"
#include "audio.h"
#include "run.h"
#include "unique_fd.h"

#include <sysexits.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

namespace
{

// A device that gives no sample for this long has stopped.
constexpr int stall_ms = 5000;

void put_sample(unsigned char *to, double v, bool is_float)
{
	if (is_float) {
		auto f = static_cast<float>(v);
		std::memcpy(to, &f, 4);
	} else {
		double scaled =
		        std::clamp(std::round(v * 2147483648.0), -2147483648.0, 2147483647.0);
		auto i = static_cast<int32_t>(scaled);
		std::memcpy(to, &i, 4);
	}
}

double get_sample(const unsigned char *from, bool is_float)
{
	if (is_float) {
		float f;
		std::memcpy(&f, from, 4);
		return static_cast<double>(f);
	}
	int32_t i;
	std::memcpy(&i, from, 4);
	return static_cast<double>(i) / 2147483648.0;
}

} // namespace

int record_live(const measure_settings &o, const sweep &s, std::vector<double> &record,
                std::vector<double> &loopback)
{
	unique_fd fd(audio_open(o.device));
	if (fd.get() < 0)
		return fail(EX_UNAVAILABLE, "cannot open %s: %s\n", o.device, std::strerror(errno));

	int32_t format = audio_s32();
	if (audio_set_format(fd.get(), format) < 0)
		return fail(EX_SOFTWARE, "%s refused the sample format request: %s\n", o.device,
		            std::strerror(errno));
	if (format != audio_s32()) {
		int32_t answer = format;
		format = audio_f32();
		if (audio_set_format(fd.get(), format) < 0 || format != audio_f32())
			return fail(
			        EX_UNAVAILABLE,
			        "%s takes no 32-bit samples, integer or float (it answered format "
			        "0x%x)\n",
			        o.device, static_cast<unsigned>(answer));
	}
	bool is_float = format == audio_f32();

	int32_t wanted = std::max({o.play, o.record, o.loopback}) + 1, channels = wanted;
	if (audio_set_channels(fd.get(), channels) < 0)
		return fail(EX_SOFTWARE, "%s refused %d channels: %s\n", o.device, wanted,
		            std::strerror(errno));
	if (channels < wanted)
		return fail(EX_UNAVAILABLE, "%s has %d channel%s: there is no channel %d\n",
		            o.device, channels, channels == 1 ? "" : "s", wanted - 1);

	auto asked = static_cast<int32_t>(s.rate);
	int32_t rate = asked;
	if (audio_set_rate(fd.get(), rate) < 0)
		return fail(EX_SOFTWARE, "%s refused the rate %d Hz: %s\n", o.device, asked,
		            std::strerror(errno));
	if (rate != asked)
		return fail(EX_UNAVAILABLE,
		            "%s runs at %d Hz, not at %d Hz: its rate converter would colour the "
		            "measurement\n",
		            o.device, rate, asked);

	auto step = static_cast<size_t>(channels);
	size_t segment = s.played.size();
	auto repeats = static_cast<size_t>(o.repeat);
	size_t frames = segment * repeats;
	std::vector<unsigned char> out(frames * step * 4, 0), in(frames * step * 4, 0);
	// The sweep on the play channel, and on the output of the loopback
	// channel's number: the cable runs from that output to that input.
	for (int channel : {o.play, o.loopback}) {
		if (channel < 0)
			continue;
		for (size_t k = 0; k < repeats; k++)
			for (size_t i = 0; i < segment; i++)
				put_sample(&out[((k * segment + i) * step +
				                 static_cast<size_t>(channel)) *
				                4],
				           s.played[i], is_float);
	}
	if (audio_play_record(fd.get(), out, in, stall_ms) < 0)
		return fail(EX_SOFTWARE, "cannot play and record on %s: %s\n", o.device,
		            std::strerror(errno));

	auto take = [&](int channel) {
		std::vector<double> all(frames);
		for (size_t i = 0; i < frames; i++)
			all[i] = get_sample(&in[(i * step + static_cast<size_t>(channel)) * 4],
			                    is_float);
		return average_segments(all, segment, repeats);
	};
	record = take(o.record);
	if (o.loopback >= 0)
		loopback = take(o.loopback);
	return 0;
}
