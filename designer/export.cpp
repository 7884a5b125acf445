#include "export.h"

#include <bit>
#include <cstdio>
#include <type_traits>

bool tap_format_known(std::string_view ext)
{
	return ext == "txt" || ext == "f64" || ext == "f32" || ext == "wav";
}

namespace
{

// Little-endian IEEE whatever the host's order.
template <typename T> void put_le(std::string &out, std::span<const double> taps)
{
	using bits_type = std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>;
	size_t at = out.size();
	out.resize(at + taps.size() * sizeof(T));
	for (size_t i = 0; i < taps.size(); i++) {
		auto bits = std::bit_cast<bits_type>(static_cast<T>(taps[i]));
		for (size_t b = 0; b < sizeof(T); b++)
			out[at + i * sizeof(T) + b] = static_cast<char>(bits >> (8 * b));
	}
}

// Mono 32-bit IEEE float as the WAVE format describes it for a format
// other than integer PCM: an 18-byte fmt chunk (its extension size 0) and a
// fact chunk with the frame count, then the data; no other chunk, so that
// readers that warn about unknown or short chunks read it silently.
void put_wav(std::string &out, std::span<const double> taps, int32_t rate)
{
	auto frames = static_cast<uint32_t>(taps.size());
	auto sample_rate = static_cast<uint32_t>(rate);
	auto u16 = [&](uint32_t v) {
		for (int b = 0; b < 2; b++)
			out.push_back(static_cast<char>(v >> (8 * b)));
	};
	auto u32 = [&](uint32_t v) {
		for (int b = 0; b < 4; b++)
			out.push_back(static_cast<char>(v >> (8 * b)));
	};
	auto tag = [&](const char *id) { out.append(id, 4); };
	constexpr uint32_t ieee_float = 3, bytes = 4;
	tag("RIFF");
	u32(4 + (8 + 18) + (8 + 4) + 8 + frames * bytes);
	tag("WAVE");
	tag("fmt ");
	u32(18);
	u16(ieee_float);
	u16(1); // channels
	u32(sample_rate);
	u32(sample_rate * bytes);
	u16(bytes); // block align
	u16(8 * bytes);
	u16(0); // no extension
	tag("fact");
	u32(4);
	u32(frames);
	tag("data");
	u32(frames * bytes);
	put_le<float>(out, taps);
}

} // namespace

std::string tap_bytes(std::string_view ext, std::span<const double> taps, int32_t rate)
{
	std::string out;
	if (ext == "wav") {
		put_wav(out, taps, rate);
	} else if (ext == "f64") {
		put_le<double>(out, taps);
	} else if (ext == "f32") {
		put_le<float>(out, taps);
	} else {
		char line[40];
		out.reserve(taps.size() * 24);
		for (double t : taps) {
			int n = std::snprintf(line, sizeof line, "%.17g\n", t);
			out.append(line, static_cast<size_t>(n));
		}
	}
	return out;
}

std::string response_table(const response &r)
{
	// Minimum phase adds the group delay, which differs by frequency.
	bool delay = !r.delay_ms.empty();
	std::string out = delay ? "frequency_hz,requested_db,achieved_db,group_delay_ms\n"
	                        : "frequency_hz,requested_db,achieved_db\n";
	char line[160];
	for (size_t i = 0; i < r.freq.size(); i++) {
		int n = std::snprintf(line, sizeof line, "%.10g,%.10g,%.10g", r.freq[i],
		                      to_db(r.requested[i]), to_db(r.achieved[i]));
		out.append(line, static_cast<size_t>(n));
		if (delay) {
			n = std::snprintf(line, sizeof line, ",%.10g", r.delay_ms[i]);
			out.append(line, static_cast<size_t>(n));
		}
		out += '\n';
	}
	return out;
}
