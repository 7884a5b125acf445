#include "outputs.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

staged_file::~staged_file()
{
	if (stream != nullptr)
		std::fclose(stream);
	if (!temp.empty() && !committed)
		unlink(temp.c_str());
}

std::string_view extension(std::string_view path)
{
	size_t slash = path.rfind('/');
	std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
	size_t dot = base.rfind('.');
	if (dot == std::string_view::npos || dot == 0)
		return {};
	return base.substr(dot + 1);
}

int stage(staged_file &file, const std::string &path)
{
	file.path = path;
	std::string pattern;
	if (path == "-") {
		const char *tmp = "/tmp";
		pattern = std::string(tmp) + "/firdesign.XXXXXX";
	} else {
		size_t slash = path.rfind('/');
		std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
		std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
		pattern = dir + "." + base + ".XXXXXX";
	}
	std::vector<char> name(pattern.begin(), pattern.end());
	name.push_back('\0');
	int fd = mkstemp(name.data());
	if (fd < 0)
		return errno;
	file.temp = name.data();
	// What a plain create would have given: 0666 less the umask.
	mode_t mask = umask(0);
	umask(mask);
	fchmod(fd, 0666 & ~mask);
	file.stream = fdopen(fd, "wb");
	if (file.stream == nullptr) {
		int e = errno;
		close(fd);
		return e;
	}
	return 0;
}

int finish(staged_file &file)
{
	if (file.stream == nullptr)
		return file.error;
	bool bad = std::ferror(file.stream) != 0;
	int e = errno;
	if (std::fclose(file.stream) != 0) {
		bad = true;
		e = errno;
	}
	file.stream = nullptr;
	if (bad && file.error == 0)
		file.error = e != 0 ? e : EIO;
	return file.error;
}

int commit(staged_file &file)
{
	if (file.path != "-") {
		if (rename(file.temp.c_str(), file.path.c_str()) != 0)
			return errno;
		file.committed = true;
		return 0;
	}
	FILE *in = std::fopen(file.temp.c_str(), "rb");
	if (in == nullptr)
		return errno;
	char chunk[65536];
	size_t n;
	int e = 0;
	while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
		if (std::fwrite(chunk, 1, n, stdout) != n) {
			e = errno != 0 ? errno : EIO;
			break;
		}
	if (e == 0 && std::ferror(in))
		e = EIO;
	std::fclose(in);
	if (e == 0 && std::fflush(stdout) != 0)
		e = errno != 0 ? errno : EIO;
	return e;
}

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

int write_text(staged_file &file, std::string_view text)
{
	std::fwrite(text.data(), 1, text.size(), file.stream);
	return finish(file);
}
