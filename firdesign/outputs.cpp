#include "outputs.h"

#include <sndfile.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

bool tap_format_known(std::string_view ext)
{
	return ext == "txt" || ext == "f64" || ext == "f32" || ext == "wav";
}

namespace
{

// Little-endian IEEE whatever the host's order, in large writes.
template <typename T> void put_le(FILE *out, std::span<const double> taps)
{
	using bits_type = std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>;
	std::vector<unsigned char> bytes(taps.size() * sizeof(T));
	for (size_t i = 0; i < taps.size(); i++) {
		auto bits = std::bit_cast<bits_type>(static_cast<T>(taps[i]));
		for (size_t b = 0; b < sizeof(T); b++)
			bytes[i * sizeof(T) + b] = static_cast<unsigned char>(bits >> (8 * b));
	}
	std::fwrite(bytes.data(), 1, bytes.size(), out);
}

int write_wav(staged_file &file, std::span<const double> taps, int32_t rate)
{
	// libsndfile writes through its own descriptor of the temporary file.
	std::fclose(file.stream);
	file.stream = nullptr;
	SF_INFO info{};
	info.samplerate = rate;
	info.channels = 1;
	info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
	SNDFILE *sf = sf_open(file.temp.c_str(), SFM_WRITE, &info);
	if (sf == nullptr)
		return file.error = EIO;
	std::vector<float> samples(taps.begin(), taps.end());
	auto frames = static_cast<sf_count_t>(samples.size());
	bool ok = sf_writef_float(sf, samples.data(), frames) == frames &&
	          sf_error(sf) == SF_ERR_NO_ERROR;
	if (sf_close(sf) != 0)
		ok = false;
	return ok ? 0 : (file.error = EIO);
}

} // namespace

int write_taps(staged_file &file, std::string_view ext, std::span<const double> taps, int32_t rate)
{
	if (ext == "wav")
		return write_wav(file, taps, rate);
	if (ext == "f64")
		put_le<double>(file.stream, taps);
	else if (ext == "f32")
		put_le<float>(file.stream, taps);
	else
		for (double t : taps)
			std::fprintf(file.stream, "%.17g\n", t);
	return finish(file);
}

int write_response(staged_file &file, const response &r)
{
	std::fputs("frequency_hz,requested_db,achieved_db\n", file.stream);
	for (size_t i = 0; i < r.freq.size(); i++)
		std::fprintf(file.stream, "%.10g,%.10g,%.10g\n", r.freq[i], to_db(r.requested[i]),
		             to_db(r.achieved[i]));
	return finish(file);
}
