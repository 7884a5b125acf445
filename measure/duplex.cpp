#include "duplex.h"

#include "analyse.h"
#include "audio.h"
#include "unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

duplex_result said(duplex_result r, std::string &why, std::string text)
{
	why = std::move(text);
	return r;
}

} // namespace

duplex_result play_and_record(const duplex_request &o, const sweep &s, std::vector<double> &record,
                              std::vector<double> &loopback, std::string &why)
{
	std::string dev = o.device;
	unique_fd fd(audio_open(o.device));
	if (fd.get() < 0)
		return said(duplex_result::unavailable, why,
		            "cannot open " + dev + ": " + std::strerror(errno));

	int32_t format = audio_s32();
	if (audio_set_format(fd.get(), format) < 0)
		return said(duplex_result::failed, why,
		            dev + " refused the sample format request: " + std::strerror(errno));
	if (format != audio_s32()) {
		char answer[16];
		std::snprintf(answer, sizeof answer, "0x%x", static_cast<unsigned>(format));
		format = audio_f32();
		if (audio_set_format(fd.get(), format) < 0 || format != audio_f32())
			return said(duplex_result::unavailable, why,
			            dev +
			                    " takes no 32-bit samples, integer or float (it "
			                    "answered format " +
			                    answer + ")");
	}
	bool is_float = format == audio_f32();

	int32_t wanted = std::max({o.play, o.record, o.loopback}) + 1, channels = wanted;
	if (audio_set_channels(fd.get(), channels) < 0)
		return said(duplex_result::failed, why,
		            dev + " refused " + std::to_string(wanted) +
		                    " channels: " + std::strerror(errno));
	if (channels < wanted)
		return said(duplex_result::unavailable, why,
		            dev + " has " + std::to_string(channels) +
		                    (channels == 1 ? " channel" : " channels") +
		                    ": there is no channel " + std::to_string(wanted - 1));

	auto asked = static_cast<int32_t>(s.rate);
	int32_t rate = asked;
	if (audio_set_rate(fd.get(), rate) < 0)
		return said(duplex_result::failed, why,
		            dev + " refused the rate " + std::to_string(asked) +
		                    " Hz: " + std::strerror(errno));
	if (rate != asked)
		return said(duplex_result::unavailable, why,
		            dev + " runs at " + std::to_string(rate) + " Hz, not at " +
		                    std::to_string(asked) +
		                    " Hz: its rate converter would colour the measurement");

	auto step = static_cast<size_t>(channels);
	size_t segment = s.played.size();
	auto repeats = static_cast<size_t>(std::max(o.repeat, 1));
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
	if (audio_play_record(fd.get(), out, in, stall_ms, o.stop) < 0) {
		if (errno == ECANCELED)
			return said(duplex_result::stopped, why, "the measurement was cancelled");
		return said(duplex_result::failed, why,
		            "cannot play and record on " + dev + ": " + std::strerror(errno));
	}

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
	return duplex_result::ok;
}
