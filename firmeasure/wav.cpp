#include "wav.h"

#include <sndfile.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <memory>

bool read_wav(const char *path, wav_data &wav, std::string &why)
{
	SF_INFO info{};
	SNDFILE *raw = sf_open(path, SFM_READ, &info);
	if (raw == nullptr) {
		why = sf_strerror(nullptr);
		return false;
	}
	std::unique_ptr<SNDFILE, int (*)(SNDFILE *)> file(raw, sf_close);
	if (info.channels < 1 || info.samplerate < 1 || info.frames < 0 ||
	    info.frames > (sf_count_t{1} << 31) / info.channels) {
		why = "not a recording this tool can hold";
		return false;
	}
	wav.rate = info.samplerate;
	wav.channels = info.channels;
	wav.frames = static_cast<size_t>(info.frames);
	wav.samples.assign(wav.frames * static_cast<size_t>(wav.channels), 0.0);
	sf_count_t got = sf_readf_double(raw, wav.samples.data(), info.frames);
	if (got != info.frames) {
		why = sf_strerror(raw);
		return false;
	}
	return true;
}

std::vector<double> channel_of(const wav_data &wav, int channel)
{
	std::vector<double> out(wav.frames);
	auto step = static_cast<size_t>(wav.channels);
	for (size_t i = 0; i < wav.frames; i++)
		out[i] = wav.samples[i * step + static_cast<size_t>(channel)];
	return out;
}

namespace
{

// libsndfile's virtual I/O on the staged file's stream.
sf_count_t v_length(void *user)
{
	auto *f = static_cast<FILE *>(user);
	off_t here = ftello(f);
	fseeko(f, 0, SEEK_END);
	off_t end = ftello(f);
	fseeko(f, here, SEEK_SET);
	return end;
}
sf_count_t v_seek(sf_count_t offset, int whence, void *user)
{
	auto *f = static_cast<FILE *>(user);
	if (fseeko(f, offset, whence) != 0)
		return -1;
	return ftello(f);
}
sf_count_t v_read(void *ptr, sf_count_t count, void *user)
{
	return static_cast<sf_count_t>(
	        std::fread(ptr, 1, static_cast<size_t>(count), static_cast<FILE *>(user)));
}
sf_count_t v_write(const void *ptr, sf_count_t count, void *user)
{
	return static_cast<sf_count_t>(
	        std::fwrite(ptr, 1, static_cast<size_t>(count), static_cast<FILE *>(user)));
}
sf_count_t v_tell(void *user)
{
	return ftello(static_cast<FILE *>(user));
}

} // namespace

int write_float_wav(staged_file &file, std::span<const double> samples, int rate)
{
	SF_VIRTUAL_IO io{v_length, v_seek, v_read, v_write, v_tell};
	SF_INFO info{};
	info.samplerate = rate;
	info.channels = 1;
	info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
	SNDFILE *out = sf_open_virtual(&io, SFM_WRITE, &info, file.stream);
	if (out == nullptr) {
		file.error = EIO;
		return finish(file);
	}
	auto frames = static_cast<sf_count_t>(samples.size());
	bool ok = sf_writef_double(out, samples.data(), frames) == frames;
	if (sf_close(out) != 0 || !ok)
		file.error = EIO;
	return finish(file);
}
