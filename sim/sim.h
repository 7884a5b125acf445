/*
 * What the two halves of the stand-in share: the control device (sim.c)
 * and the audio device with its room (sim_audio.c).
 */
#ifndef FIRLOAD_SIM_H
#define FIRLOAD_SIM_H

#include <stddef.h>
#include <stdint.h>

/* Aborts with "firload-sim: what: value". */
void sim_die(const char *what, const char *value) __attribute__((noreturn));
/* Appends one line to the journal, when there is one. */
void sim_note(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* A descriptor of /dev/null from the C library's open, so that no other
 * file is handed the same number. */
int sim_null_fd(int flags);
/* The C library's close. */
int sim_real_close(int fd);

/* The audio device: whether path is it, its open, whether a descriptor
 * is one of its own, and its requests and close. */
int sim_dsp_path(int dirfd, const char *path);
int sim_dsp_open(int flags);
int sim_dsp_owns(int fd);
int sim_dsp_ioctl(int fd, unsigned long request, void *arg);
void sim_dsp_close(int fd);

/* The filter a write request loaded into the transmit side of part 0 (the
 * path to the speakers), or null coefficients when it was switched off:
 * kept for the room, and in FIRLOAD_SIM_STATE for later processes. */
void sim_eq_loaded(int32_t channel, int32_t length, const double *coefficients);
/* The taps of an output channel's filter, loaded here or kept by an earlier
 * process, with their count in length; null when there is none. */
const double *sim_eq_taps(int32_t channel, int32_t *length);

/* The room (sim_room.c): x convolved with h, kept to its first n samples;
 * the room's response applied to x ("default", "none" or a WAV file's
 * impulse response); and normal noise of unit power from a seed. */
void sim_convolve(double *x, size_t n, const double *h, size_t m);
void sim_room(double *x, size_t n, int32_t rate, const char *room);
double sim_gauss(uint64_t *seed);

#endif
