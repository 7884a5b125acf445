/*
 * Stand-in for the OSS audio device, and the room its output plays into.
 * Preloaded with sim.c: open of FIRLOAD_SIM_DSP (default /dev/dsp) gives a
 * descriptor whose ioctl, read, write and close land here.
 *
 * What is played on each output channel goes through the equalizer loaded
 * into that channel of part 0's transmit side (in this process, or, with
 * FIRLOAD_SIM_STATE, by an earlier one), then all channels but the
 * loopback one together through the room, reach the microphone late by the
 * converters' latency and the sound's way, with noise, and are clamped at
 * full scale. Every input channel hears the microphone but the loopback
 * channel, which returns its own output channel late by the latency only.
 * The sample clock is the program's own: a read gives what the room makes
 * of everything written so far (silence where nothing was written yet).
 *
 * Settings, from the environment and read once:
 *   FIRLOAD_SIM_DSP           emulated path (default /dev/dsp)
 *   FIRLOAD_SIM_DSP_RATE      the one rate the device runs at (default 48000)
 *   FIRLOAD_SIM_DSP_FORMATS   formats it takes, from s16, s32 and f32,
 *                             comma-separated (default s32,f32); others are
 *                             answered with the first
 *   FIRLOAD_SIM_DSP_CHANNELS  most channels it has (default 2)
 *   FIRLOAD_SIM_ROOM          default (a speaker with a bass roll-off, a
 *                             room resonance, a dip and a reflection), none
 *                             (a plain wire), or a mono WAV file (16-bit or
 *                             32-bit float) holding the room's impulse
 *                             response
 *   FIRLOAD_SIM_LATENCY       converters' delay, samples (default 96)
 *   FIRLOAD_SIM_DELAY         the sound's way, samples (default 144)
 *   FIRLOAD_SIM_NOISE         noise at the microphone, dBFS RMS (default -90)
 *   FIRLOAD_SIM_GAIN          microphone gain, dB (default 0): raise it to clip
 *   FIRLOAD_SIM_LOOPBACK      input channel cabled to the same output
 *                             (default none)
 *   FIRLOAD_SIM_STATE         folder where loaded filters are kept for later
 *                             processes (tx_dev-0-CHANNEL.f64)
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "oss.h"
#include "sim.h"

#define MAX_STREAMS 8
#define MAX_CHANNELS 16
#define FMT_S16 AFMT_S16_LE

typedef ssize_t (*read_fn)(int, void *, size_t);
typedef ssize_t (*write_fn)(int, const void *, size_t);

struct stream {
	int fd;
	int32_t format, channels;
	double *played; /* interleaved frames written */
	size_t played_frames, played_cap;
	double *heard; /* interleaved frames the inputs give */
	size_t heard_frames, heard_from_played;
	size_t read_frames;
};

static struct {
	int ready;
	read_fn read;
	write_fn write;
	const char *path, *room;
	int32_t rate, channels, loopback;
	int formats[3]; /* s16, s32, f32 */
	long latency, delay;
	double noise, gain;
	struct stream streams[MAX_STREAMS];
	int nstreams;
} dsp;

static long setting(const char *var, long fallback, long min, long max)
{
	const char *text = getenv(var);
	if (text == NULL || *text == '\0')
		return fallback;
	char *end;
	errno = 0;
	long v = strtol(text, &end, 10);
	if (errno != 0 || *end != '\0' || v < min || v > max)
		sim_die("bad number in", var);
	return v;
}

static double level(const char *var, double fallback)
{
	const char *text = getenv(var);
	if (text == NULL || *text == '\0')
		return fallback;
	char *end;
	double v = strtod(text, &end);
	if (*end != '\0' || !isfinite(v) || v < -200 || v > 60)
		sim_die("bad level in", var);
	return v;
}

static void setup(void)
{
	if (dsp.ready)
		return;
	int saved = errno;
	void *fn = dlsym(RTLD_NEXT, "read");
	memcpy(&dsp.read, &fn, sizeof fn);
	fn = dlsym(RTLD_NEXT, "write");
	memcpy(&dsp.write, &fn, sizeof fn);
	if (dsp.read == NULL || dsp.write == NULL)
		sim_die("cannot find the C library's read and write", NULL);
	dsp.path = getenv("FIRLOAD_SIM_DSP");
	if (dsp.path == NULL || *dsp.path == '\0')
		dsp.path = "/dev/dsp";
	dsp.room = getenv("FIRLOAD_SIM_ROOM");
	if (dsp.room == NULL || *dsp.room == '\0')
		dsp.room = "default";
	dsp.rate = (int32_t)setting("FIRLOAD_SIM_DSP_RATE", 48000, 8000, 768000);
	dsp.channels = (int32_t)setting("FIRLOAD_SIM_DSP_CHANNELS", 2, 1, MAX_CHANNELS);
	dsp.loopback = (int32_t)setting("FIRLOAD_SIM_LOOPBACK", -1, -1, MAX_CHANNELS - 1);
	dsp.latency = setting("FIRLOAD_SIM_LATENCY", 96, 0, 1 << 20);
	dsp.delay = setting("FIRLOAD_SIM_DELAY", 144, 0, 1 << 20);
	dsp.noise = level("FIRLOAD_SIM_NOISE", -90);
	dsp.gain = level("FIRLOAD_SIM_GAIN", 0);
	const char *formats = getenv("FIRLOAD_SIM_DSP_FORMATS");
	if (formats == NULL || *formats == '\0')
		formats = "s32,f32";
	if (strlen(formats) > 64)
		sim_die("FIRLOAD_SIM_DSP_FORMATS too long", NULL);
	char list[80];
	strcpy(list, formats);
	int order = 1;
	for (char *save = NULL, *w = strtok_r(list, ",", &save); w != NULL;
	     w = strtok_r(NULL, ",", &save), order++) {
		int i = strcmp(w, "s16") == 0   ? 0
		        : strcmp(w, "s32") == 0 ? 1
		        : strcmp(w, "f32") == 0 ? 2
		                                : -1;
		if (i < 0)
			sim_die("bad entry in FIRLOAD_SIM_DSP_FORMATS", w);
		dsp.formats[i] = order;
	}
	dsp.ready = 1;
	errno = saved;
}

static const int32_t format_codes[3] = {FMT_S16, FIRLOAD_AFMT_S32_NE, FIRLOAD_AFMT_F32_NE};

static int format_index(int32_t format)
{
	for (int i = 0; i < 3; i++)
		if (format_codes[i] == format)
			return i;
	return -1;
}

static size_t sample_bytes(int32_t format)
{
	return format == FMT_S16 ? 2 : 4;
}

static struct stream *stream_of(int fd)
{
	for (int i = 0; i < dsp.nstreams; i++)
		if (dsp.streams[i].fd == fd)
			return &dsp.streams[i];
	return NULL;
}

int sim_dsp_path(int dirfd, const char *path)
{
	setup();
	return path != NULL && (path[0] == '/' || dirfd == AT_FDCWD) && strcmp(path, dsp.path) == 0;
}

int sim_dsp_owns(int fd)
{
	setup();
	return stream_of(fd) != NULL;
}

int sim_dsp_open(int flags)
{
	setup();
	if (dsp.nstreams == MAX_STREAMS)
		sim_die("too many descriptors of the audio device open", NULL);
	int fd = sim_null_fd(flags);
	struct stream *s = &dsp.streams[dsp.nstreams++];
	memset(s, 0, sizeof *s);
	s->fd = fd;
	s->format = FIRLOAD_AFMT_S32_NE;
	s->channels = 1;
	sim_note("dsp open path=%s flags=%s -> fd=%d\n", dsp.path,
	         (flags & O_ACCMODE) == O_RDWR ? "rdwr" : "other", fd);
	return fd;
}

void sim_dsp_close(int fd)
{
	struct stream *s = stream_of(fd);
	if (s == NULL)
		return;
	sim_note("dsp close fd=%d played=%zu recorded=%zu\n", fd, s->played_frames, s->read_frames);
	free(s->played);
	free(s->heard);
	*s = dsp.streams[--dsp.nstreams];
}

int sim_dsp_ioctl(int fd, unsigned long request, void *arg)
{
	struct stream *s = stream_of(fd);
	int32_t *value = arg;
	int32_t asked = *value;
	switch (request) {
	case SNDCTL_DSP_SETFMT: {
		int i = format_index(asked);
		if (i < 0 || dsp.formats[i] == 0) {
			int first = 0;
			for (int k = 0; k < 3; k++)
				if (dsp.formats[k] == 1)
					first = k;
			i = first;
		}
		s->format = *value = format_codes[i];
		sim_note("dsp ioctl setfmt 0x%x -> 0x%x\n", (unsigned)asked, (unsigned)*value);
		return 0;
	}
	case SNDCTL_DSP_CHANNELS:
		s->channels = *value = asked < 1 ? 1 : asked > dsp.channels ? dsp.channels : asked;
		sim_note("dsp ioctl channels %d -> %d\n", asked, *value);
		return 0;
	case SNDCTL_DSP_SPEED:
		*value = dsp.rate;
		sim_note("dsp ioctl speed %d -> %d\n", asked, *value);
		return 0;
	case SNDCTL_DSP_SETTRIGGER: sim_note("dsp ioctl trigger %d\n", asked); return 0;
	}
	sim_note("dsp ioctl unknown request=0x%08lx -> fail\n", request);
	errno = ENOTTY;
	return -1;
}

/* ---- what the inputs hear ---- */

static double *grow(double *p, size_t count)
{
	double *q = realloc(p, count * sizeof(double));
	if (q == NULL && count > 0)
		sim_die("out of memory for the audio", NULL);
	return q;
}

/* Every input frame from 0 to frames, from what was played so far. */
static void hear(struct stream *s, size_t frames)
{
	size_t nch = (size_t)s->channels;
	double *room = calloc(frames + 1, sizeof(double));
	double *one = calloc(frames + 1, sizeof(double));
	if (room == NULL || one == NULL)
		sim_die("out of memory for the room", NULL);
	for (size_t c = 0; c < nch; c++) {
		if ((int32_t)c == dsp.loopback)
			continue;
		size_t n = s->played_frames < frames ? s->played_frames : frames;
		memset(one, 0, frames * sizeof(double));
		for (size_t i = 0; i < n; i++)
			one[i] = s->played[i * nch + c];
		int32_t length = 0;
		const double *taps = sim_eq_taps((int32_t)c, &length);
		if (taps != NULL)
			sim_convolve(one, frames, taps, (size_t)length);
		for (size_t i = 0; i < frames; i++)
			room[i] += one[i];
	}
	sim_room(room, frames, dsp.rate, dsp.room);
	double gain = pow(10, dsp.gain / 20);
	double noise = pow(10, dsp.noise / 20);
	uint64_t seed = 0x9e3779b97f4a7c15ULL;
	s->heard = grow(s->heard, frames * nch);
	size_t late = (size_t)(dsp.latency + dsp.delay);
	for (size_t i = 0; i < frames; i++) {
		double mic = (i >= late ? gain * room[i - late] : 0) + noise * sim_gauss(&seed);
		mic = mic > 1 ? 1 : mic < -1 ? -1 : mic;
		for (size_t c = 0; c < nch; c++) {
			double v = mic;
			if ((int32_t)c == dsp.loopback) {
				size_t from = i - (size_t)dsp.latency;
				v = i >= (size_t)dsp.latency && from < s->played_frames
				            ? s->played[from * nch + c]
				            : 0;
			}
			s->heard[i * nch + c] = v;
		}
	}
	s->heard_frames = frames;
	s->heard_from_played = s->played_frames;
	free(room);
	free(one);
}

static double to_double(const unsigned char *p, int32_t format)
{
	if (format == FMT_S16) {
		int16_t v;
		memcpy(&v, p, 2);
		return v / 32768.0;
	}
	if (format == FIRLOAD_AFMT_F32_NE) {
		float v;
		memcpy(&v, p, 4);
		return (double)v;
	}
	int32_t v;
	memcpy(&v, p, 4);
	return v / 2147483648.0;
}

static void from_double(unsigned char *p, double v, int32_t format)
{
	if (format == FIRLOAD_AFMT_F32_NE) {
		float f = (float)v;
		memcpy(p, &f, 4);
		return;
	}
	double full = format == FMT_S16 ? 32768.0 : 2147483648.0;
	double x = round(v * full);
	x = x > full - 1 ? full - 1 : x < -full ? -full : x;
	if (format == FMT_S16) {
		int16_t i = (int16_t)x;
		memcpy(p, &i, 2);
	} else {
		int32_t i = (int32_t)x;
		memcpy(p, &i, 4);
	}
}

ssize_t write(int fd, const void *buf, size_t count)
{
	setup();
	struct stream *s = stream_of(fd);
	if (s == NULL)
		return dsp.write(fd, buf, count);
	size_t nch = (size_t)s->channels, bytes = sample_bytes(s->format);
	size_t frames = count / (nch * bytes);
	if (frames == 0) {
		errno = EINVAL;
		return -1;
	}
	if (s->played_frames + frames > s->played_cap) {
		s->played_cap = (s->played_frames + frames) * 2;
		s->played = grow(s->played, s->played_cap * nch);
	}
	const unsigned char *p = buf;
	for (size_t i = 0; i < frames * nch; i++)
		s->played[s->played_frames * nch + i] = to_double(p + i * bytes, s->format);
	s->played_frames += frames;
	return (ssize_t)(frames * nch * bytes);
}

ssize_t read(int fd, void *buf, size_t count)
{
	setup();
	struct stream *s = stream_of(fd);
	if (s == NULL)
		return dsp.read(fd, buf, count);
	size_t nch = (size_t)s->channels, bytes = sample_bytes(s->format);
	size_t frames = count / (nch * bytes);
	if (frames == 0) {
		errno = EINVAL;
		return -1;
	}
	size_t end = s->read_frames + frames;
	if (end > s->heard_frames || s->heard_from_played != s->played_frames)
		hear(s, end > s->played_frames ? end : s->played_frames);
	unsigned char *p = buf;
	for (size_t i = 0; i < frames * nch; i++)
		from_double(p + i * bytes, s->heard[s->read_frames * nch + i], s->format);
	s->read_frames = end;
	return (ssize_t)(frames * nch * bytes);
}
