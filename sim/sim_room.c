/*
 * The room of the audio stand-in: fast convolution, the default speaker
 * and room, a room from a WAV file, and the noise at the microphone.
 */
#define _GNU_SOURCE
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sim.h"

static const double pi = 3.14159265358979323846;

/* In-place radix-2 transform of n (a power of two) complex values;
 * inverse unscaled. */
static void fft(double *re, double *im, size_t n, int inverse)
{
	for (size_t i = 1, j = 0; i < n; i++) {
		size_t bit = n >> 1;
		for (; j & bit; bit >>= 1)
			j ^= bit;
		j ^= bit;
		if (i < j) {
			double t = re[i];
			re[i] = re[j];
			re[j] = t;
			t = im[i];
			im[i] = im[j];
			im[j] = t;
		}
	}
	for (size_t len = 2; len <= n; len <<= 1) {
		double angle = (inverse ? 2 : -2) * pi / (double)len;
		for (size_t k = 0; k < len / 2; k++) {
			double wr = cos(angle * (double)k), wi = sin(angle * (double)k);
			for (size_t i = k; i < n; i += len) {
				size_t j = i + len / 2;
				double xr = re[j] * wr - im[j] * wi, xi = re[j] * wi + im[j] * wr;
				re[j] = re[i] - xr;
				im[j] = im[i] - xi;
				re[i] += xr;
				im[i] += xi;
			}
		}
	}
}

void sim_convolve(double *x, size_t n, const double *h, size_t m)
{
	if (n == 0 || m == 0)
		return;
	size_t size = 1;
	while (size < n + m)
		size <<= 1;
	double *a = calloc(4 * size, sizeof(double));
	if (a == NULL)
		sim_die("out of memory for a convolution", NULL);
	double *ar = a, *ai = a + size, *br = a + 2 * size, *bi = a + 3 * size;
	/* Both real signals in one transform: x in the real part, h in the
	 * imaginary; their spectra are taken apart by symmetry. */
	memcpy(ar, x, n * sizeof(double));
	memcpy(ai, h, m * sizeof(double));
	fft(ar, ai, size, 0);
	for (size_t k = 0; k < size; k++) {
		size_t r = (size - k) & (size - 1);
		double xr = (ar[k] + ar[r]) / 2, xi = (ai[k] - ai[r]) / 2;
		double hr = (ai[k] + ai[r]) / 2, hi = (ar[r] - ar[k]) / 2;
		br[k] = xr * hr - xi * hi;
		bi[k] = xr * hi + xi * hr;
	}
	fft(br, bi, size, 1);
	for (size_t i = 0; i < n; i++)
		x[i] = br[i] / (double)size;
	free(a);
}

/* A biquad of the cookbook, run over x. */
struct biquad {
	double b0, b1, b2, a1, a2;
};

static void run(const struct biquad *q, double *x, size_t n)
{
	double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
	for (size_t i = 0; i < n; i++) {
		double y = q->b0 * x[i] + q->b1 * x1 + q->b2 * x2 - q->a1 * y1 - q->a2 * y2;
		x2 = x1;
		x1 = x[i];
		y2 = y1;
		y1 = y;
		x[i] = y;
	}
}

static struct biquad highpass(double f, double q, double rate)
{
	double w = 2 * pi * f / rate, c = cos(w), al = sin(w) / (2 * q), a0 = 1 + al;
	struct biquad b = {(1 + c) / 2 / a0, -(1 + c) / a0, (1 + c) / 2 / a0, -2 * c / a0,
	                   (1 - al) / a0};
	return b;
}

static struct biquad peaking(double f, double q, double db, double rate)
{
	double a = pow(10, db / 40), w = 2 * pi * f / rate, c = cos(w), al = sin(w) / (2 * q);
	double a0 = 1 + al / a;
	struct biquad b = {(1 + al * a) / a0, -2 * c / a0, (1 - al * a) / a0, -2 * c / a0,
	                   (1 - al / a) / a0};
	return b;
}

/* The default: a sealed speaker rolling off below 45 Hz, a room mode at
 * 110 Hz, a dip at 2.5 kHz, 6 dB down, and a reflection 4 ms late at a
 * fifth of the level. */
static void default_room(double *x, size_t n, double rate)
{
	struct biquad q[] = {highpass(45, 0.8, rate), peaking(110, 4, 7, rate),
	                     peaking(2500, 1.5, -4, rate)};
	for (size_t i = 0; i < sizeof q / sizeof q[0]; i++)
		run(&q[i], x, n);
	size_t late = (size_t)lround(0.004 * rate);
	for (size_t i = n; i-- > late;)
		x[i] += 0.2 * x[i - late];
	for (size_t i = 0; i < n; i++)
		x[i] *= 0.5;
}

static uint32_t le(const unsigned char *p, int bytes)
{
	uint32_t v = 0;
	for (int i = bytes - 1; i >= 0; i--)
		v = v << 8 | p[i];
	return v;
}

/* A mono WAV file, 16-bit integer or 32-bit float, as doubles. */
static double *read_wav(const char *path, size_t *count)
{
	FILE *in = fopen(path, "rb");
	if (in == NULL)
		sim_die("cannot open the room", path);
	unsigned char head[12], chunk[8], fmt[16] = {0};
	if (fread(head, 1, 12, in) != 12 || memcmp(head, "RIFF", 4) || memcmp(head + 8, "WAVE", 4))
		sim_die("the room is not a WAV file", path);
	double *out = NULL;
	while (fread(chunk, 1, 8, in) == 8) {
		uint32_t size = le(chunk + 4, 4);
		if (memcmp(chunk, "fmt ", 4) == 0) {
			if (size < 16 || fread(fmt, 1, 16, in) != 16)
				sim_die("the room's WAV format is short", path);
			fseek(in, (long)(size - 16 + (size & 1)), SEEK_CUR);
		} else if (memcmp(chunk, "data", 4) == 0) {
			uint32_t tag = le(fmt, 2), channels = le(fmt + 2, 2),
			         bits = le(fmt + 14, 2);
			if (channels != 1 ||
			    !((tag == 1 && bits == 16) || (tag == 3 && bits == 32)))
				sim_die("the room must be mono, 16-bit or 32-bit float", path);
			size_t width = bits / 8, n = size / width;
			unsigned char *raw = malloc(size);
			out = malloc((n + 1) * sizeof(double));
			if (raw == NULL || out == NULL || fread(raw, 1, size, in) != size)
				sim_die("cannot read the room", path);
			for (size_t i = 0; i < n; i++) {
				uint32_t v = le(raw + i * width, (int)width);
				if (width == 2) {
					out[i] = (double)(int16_t)(uint16_t)v / 32768.0;
				} else {
					float f;
					memcpy(&f, &v, 4);
					out[i] = (double)f;
				}
			}
			free(raw);
			*count = n;
			break;
		} else {
			fseek(in, (long)(size + (size & 1)), SEEK_CUR);
		}
	}
	fclose(in);
	if (out == NULL)
		sim_die("the room's WAV file has no data", path);
	return out;
}

void sim_room(double *x, size_t n, int32_t rate, const char *room)
{
	if (strcmp(room, "none") == 0)
		return;
	if (strcmp(room, "default") == 0) {
		default_room(x, n, (double)rate);
		return;
	}
	size_t m = 0;
	double *h = read_wav(room, &m);
	sim_convolve(x, n, h, m);
	free(h);
}

double sim_gauss(uint64_t *seed)
{
	/* xorshift64*, two uniforms, Box-Muller. */
	double u[2];
	for (int i = 0; i < 2; i++) {
		uint64_t s = *seed;
		s ^= s >> 12;
		s ^= s << 25;
		s ^= s >> 27;
		*seed = s;
		u[i] = ((double)((s * 0x2545F4914F6CDD1DULL) >> 11) + 0.5) / 9007199254740992.0;
	}
	return sqrt(-2 * log(u[0])) * cos(2 * pi * u[1]);
}
