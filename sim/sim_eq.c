/*
 * The filters the control-device stand-in loaded into the transmit side of
 * part 0, which the room of the audio stand-in hears: kept in memory, and
 * with FIRLOAD_SIM_STATE in that folder (tx_dev-0-CHANNEL.f64, raw doubles)
 * for later processes.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "sim.h"

#define MAX_CHANNELS 16

struct filter {
	double *taps;
	int32_t length;
};

static struct filter eq[MAX_CHANNELS];

/* FIRLOAD_SIM_STATE, or null. */
static const char *state(void)
{
	const char *dir = getenv("FIRLOAD_SIM_STATE");
	return dir != NULL && *dir != '\0' ? dir : NULL;
}

static void state_path(char *out, size_t size, int32_t channel)
{
	snprintf(out, size, "%s/tx_dev-0-%d.f64", state(), channel);
}

void sim_eq_loaded(int32_t channel, int32_t length, const double *coefficients)
{
	if (channel < 0 || channel >= MAX_CHANNELS)
		return;
	struct filter *f = &eq[channel];
	free(f->taps);
	f->taps = NULL;
	f->length = 0;
	if (coefficients != NULL && length > 0) {
		f->taps = malloc((size_t)length * sizeof(double));
		if (f->taps == NULL)
			sim_die("out of memory for a filter", NULL);
		memcpy(f->taps, coefficients, (size_t)length * sizeof(double));
		f->length = length;
	}
	if (state() == NULL)
		return;
	char path[4096];
	state_path(path, sizeof path, channel);
	if (f->taps == NULL) {
		unlink(path);
		return;
	}
	FILE *out = fopen(path, "wb");
	if (out == NULL || fwrite(f->taps, sizeof(double), (size_t)length, out) != (size_t)length ||
	    fclose(out) != 0)
		sim_die("cannot keep the filter in", path);
}

const double *sim_eq_taps(int32_t channel, int32_t *length)
{
	if (channel < 0 || channel >= MAX_CHANNELS)
		return NULL;
	struct filter *f = &eq[channel];
	*length = f->length;
	if (f->taps != NULL || state() == NULL)
		return f->taps;
	char path[4096];
	state_path(path, sizeof path, channel);
	FILE *in = fopen(path, "rb");
	if (in == NULL)
		return NULL;
	fseek(in, 0, SEEK_END);
	long bytes = ftell(in);
	fseek(in, 0, SEEK_SET);
	if (bytes <= 0 || bytes % 8 != 0)
		sim_die("a kept filter is damaged", path);
	f->length = (int32_t)(bytes / 8);
	f->taps = malloc((size_t)bytes);
	if (f->taps == NULL || fread(f->taps, 8, (size_t)f->length, in) != (size_t)f->length)
		sim_die("cannot read the kept filter", path);
	fclose(in);
	*length = f->length;
	return f->taps;
}
