/*
 * Stand-in for the audio control device, preloaded into an unchanged
 * program. It takes over open of one path (FIRLOAD_SIM_DEVICE, default
 * /dev/pcmx.ctl) and the ioctl and close of the descriptors it handed out;
 * everything else goes to the C library untouched.
 *
 * Settings, all from the environment and read once:
 *   FIRLOAD_SIM_DEVICE    emulated path
 *   FIRLOAD_SIM_RATE      sample rate answered, Hz (default 48000; may be <= 0)
 *   FIRLOAD_SIM_LENGTH    filter length N answered (default 512; may be <= 0)
 *   FIRLOAD_SIM_PARTS     number of parts (default 1)
 *   FIRLOAD_SIM_CHANNELS  channels of every part (default 2)
 *   FIRLOAD_SIM_NAMES     part names, separated by '|' (default "pcmx part N");
 *                         a name of 76 characters or more fills the record's
 *                         field with no NUL
 *   FIRLOAD_SIM_FAIL      requests to fail, comma-separated: open, rate, read,
 *                         info, write (every write) or write@N (channel N)
 *   FIRLOAD_SIM_JOURNAL   file to which every request is appended, one line
 *                         each, with the coefficients of each filter write in
 *                         hexadecimal floating point
 *
 * The audio device and the room it plays into are in sim_audio.c, with
 * their own settings; what is loaded into the transmit side of part 0 is
 * the equalizer the room hears.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim.h"

#define NAME_SIZE 76
#define MAX_FDS 64
#define MAX_PARTS 64
#define MAX_FAIL_CHANNELS 64

struct fir_record {
	int32_t part;
	int32_t channel;
	int32_t length;
	int32_t gap;
	double *coefficients;
};
_Static_assert(sizeof(struct fir_record) == 24, "fir_record is 24 bytes");

struct part_info_record {
	int32_t part;
	int32_t reserved;
	char name[NAME_SIZE];
};
_Static_assert(sizeof(struct part_info_record) == 84, "part_info_record is 84 bytes");

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef int (*open2_fn)(const char *, int);
typedef int (*close_fn)(int);
typedef int (*ioctl_fn)(int, unsigned long, ...);

static struct {
	int ready;
	open_fn open, open64;
	openat_fn openat, openat64;
	open2_fn open_2, open64_2;
	close_fn close;
	ioctl_fn ioctl;

	const char *device;
	const char *journal;
	int32_t rate, length, parts, channels;
	char names[MAX_PARTS][NAME_SIZE];
	int fail_open, fail_rate, fail_read, fail_info, fail_write_all;
	int fail_write[MAX_FAIL_CHANNELS];
	int fds[MAX_FDS];
	int nfds;
} sim;

void sim_die(const char *what, const char *value)
{
	char line[512];
	int n = snprintf(line, sizeof line, "firload-sim: %s%s%s\n", what, value ? ": " : "",
	                 value ? value : "");
	if (n > 0)
		(void)!write(2, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
	abort();
}

#define die sim_die

static void *real(const char *name, int required)
{
	void *fn = dlsym(RTLD_NEXT, name);
	if (fn == NULL && required)
		die("cannot find the C library's", name);
	return fn;
}

static int32_t number(const char *var, int32_t fallback, long min)
{
	const char *text = getenv(var);
	if (text == NULL || *text == '\0')
		return fallback;
	char *end;
	errno = 0;
	long value = strtol(text, &end, 10);
	if (errno != 0 || *end != '\0' || value < min || value > INT32_MAX)
		die("bad number in", var);
	return (int32_t)value;
}

static void read_names(void)
{
	for (int i = 0; i < MAX_PARTS; i++)
		snprintf(sim.names[i], NAME_SIZE, "pcmx part %d", i);
	const char *text = getenv("FIRLOAD_SIM_NAMES");
	for (int i = 0; text != NULL && i < MAX_PARTS; i++) {
		const char *bar = strchr(text, '|');
		size_t len = bar ? (size_t)(bar - text) : strlen(text);
		memset(sim.names[i], 0, NAME_SIZE);
		memcpy(sim.names[i], text, len < NAME_SIZE ? len : NAME_SIZE);
		text = bar ? bar + 1 : NULL;
	}
}

static void read_failures(void)
{
	const char *text = getenv("FIRLOAD_SIM_FAIL");
	if (text == NULL)
		return;
	char list[256];
	if (strlen(text) >= sizeof list)
		die("FIRLOAD_SIM_FAIL too long", NULL);
	strcpy(list, text);
	for (char *save = NULL, *word = strtok_r(list, ",", &save); word != NULL;
	     word = strtok_r(NULL, ",", &save)) {
		if (strcmp(word, "open") == 0)
			sim.fail_open = 1;
		else if (strcmp(word, "rate") == 0)
			sim.fail_rate = 1;
		else if (strcmp(word, "read") == 0)
			sim.fail_read = 1;
		else if (strcmp(word, "info") == 0)
			sim.fail_info = 1;
		else if (strcmp(word, "write") == 0)
			sim.fail_write_all = 1;
		else if (strncmp(word, "write@", 6) == 0) {
			char *end;
			long channel = strtol(word + 6, &end, 10);
			if (*end != '\0' || end == word + 6 || channel < 0 ||
			    channel >= MAX_FAIL_CHANNELS)
				die("bad entry in FIRLOAD_SIM_FAIL", word);
			sim.fail_write[channel] = 1;
		} else
			die("bad entry in FIRLOAD_SIM_FAIL", word);
	}
}

/* POSIX lets a dlsym result be used as a function pointer; ISO C does not. */
#define LOOKUP(field, name, required)                                                              \
	do {                                                                                       \
		void *fn_ = real(name, required);                                                  \
		memcpy(&sim.field, &fn_, sizeof fn_);                                              \
	} while (0)

static void setup(void)
{
	if (sim.ready)
		return;
	int saved = errno;
	LOOKUP(open, "open", 1);
	LOOKUP(openat, "openat", 1);
	LOOKUP(close, "close", 1);
	LOOKUP(ioctl, "ioctl", 1);
	LOOKUP(open64, "open64", 0);
	LOOKUP(openat64, "openat64", 0);
	LOOKUP(open_2, "__open_2", 0);
	LOOKUP(open64_2, "__open64_2", 0);

	sim.device = getenv("FIRLOAD_SIM_DEVICE");
	if (sim.device == NULL || *sim.device == '\0')
		sim.device = "/dev/pcmx.ctl";
	sim.journal = getenv("FIRLOAD_SIM_JOURNAL");
	sim.rate = number("FIRLOAD_SIM_RATE", 48000, INT32_MIN);
	sim.length = number("FIRLOAD_SIM_LENGTH", 512, INT32_MIN);
	sim.parts = number("FIRLOAD_SIM_PARTS", 1, 0);
	sim.channels = number("FIRLOAD_SIM_CHANNELS", 2, 0);
	if (sim.parts > MAX_PARTS)
		die("FIRLOAD_SIM_PARTS above 64", NULL);
	read_names();
	read_failures();
	sim.ready = 1;
	errno = saved;
}

/* Appends one line to the journal; errno is left as it was. */
#define note sim_note
void sim_note(const char *format, ...)
{
	if (sim.journal == NULL || *sim.journal == '\0')
		return;
	int saved = errno;
	char line[1024];
	va_list ap;
	va_start(ap, format);
	int n = vsnprintf(line, sizeof line, format, ap);
	va_end(ap);
	if (n < 0 || (size_t)n >= sizeof line)
		die("journal line too long", NULL);
	int fd = sim.open(sim.journal, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
	if (fd < 0 || write(fd, line, (size_t)n) != n)
		die("cannot write the journal", sim.journal);
	sim.close(fd);
	errno = saved;
}

int sim_null_fd(int flags)
{
	setup();
	int fd = sim.open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
	if (fd < 0)
		die("cannot open /dev/null", NULL);
	return fd;
}

int sim_real_close(int fd)
{
	setup();
	return sim.close(fd);
}

static int emulated(int fd)
{
	for (int i = 0; i < sim.nfds; i++)
		if (sim.fds[i] == fd)
			return i;
	return -1;
}

static const char *access_mode(int flags)
{
	switch (flags & O_ACCMODE) {
	case O_RDONLY: return "rdonly";
	case O_WRONLY: return "wronly";
	case O_RDWR: return "rdwr";
	}
	return "other";
}

static int open_device(int flags)
{
	if (sim.fail_open) {
		note("open path=%s flags=%s -> fail\n", sim.device, access_mode(flags));
		errno = ENXIO;
		return -1;
	}
	if (sim.nfds == MAX_FDS)
		die("too many descriptors of the device open", NULL);
	/* A real descriptor, so nothing else can be handed the same number. */
	int fd = sim.open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
	if (fd < 0)
		die("cannot open /dev/null", NULL);
	sim.fds[sim.nfds++] = fd;
	note("open path=%s flags=%s -> fd=%d\n", sim.device, access_mode(flags), fd);
	return fd;
}

static int is_device(int dirfd, const char *path)
{
	return path != NULL && (path[0] == '/' || dirfd == AT_FDCWD) &&
	       strcmp(path, sim.device) == 0;
}

#ifndef O_TMPFILE
#define O_TMPFILE 0
#endif

static mode_t mode_arg(int flags, va_list ap)
{
	return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char *path, int flags, ...)
{
	setup();
	va_list ap;
	va_start(ap, flags);
	mode_t mode = mode_arg(flags, ap);
	va_end(ap);
	if (sim_dsp_path(AT_FDCWD, path))
		return sim_dsp_open(flags);
	return is_device(AT_FDCWD, path) ? open_device(flags) : sim.open(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
	setup();
	va_list ap;
	va_start(ap, flags);
	mode_t mode = mode_arg(flags, ap);
	va_end(ap);
	if (sim_dsp_path(dirfd, path))
		return sim_dsp_open(flags);
	return is_device(dirfd, path) ? open_device(flags) : sim.openat(dirfd, path, flags, mode);
}

#ifdef __GLIBC__
int open64(const char *path, int flags, ...)
{
	setup();
	va_list ap;
	va_start(ap, flags);
	mode_t mode = mode_arg(flags, ap);
	va_end(ap);
	if (sim_dsp_path(AT_FDCWD, path))
		return sim_dsp_open(flags);
	if (is_device(AT_FDCWD, path))
		return open_device(flags);
	return sim.open64 ? sim.open64(path, flags, mode)
	                  : sim.open(path, flags | O_LARGEFILE, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
	setup();
	va_list ap;
	va_start(ap, flags);
	mode_t mode = mode_arg(flags, ap);
	va_end(ap);
	if (sim_dsp_path(dirfd, path))
		return sim_dsp_open(flags);
	if (is_device(dirfd, path))
		return open_device(flags);
	return sim.openat64 ? sim.openat64(dirfd, path, flags, mode)
	                    : sim.openat(dirfd, path, flags | O_LARGEFILE, mode);
}

int __open_2(const char *path, int flags)
{
	setup();
	if (sim_dsp_path(AT_FDCWD, path))
		return sim_dsp_open(flags);
	if (is_device(AT_FDCWD, path))
		return open_device(flags);
	return sim.open_2 ? sim.open_2(path, flags) : sim.open(path, flags);
}

int __open64_2(const char *path, int flags)
{
	setup();
	if (sim_dsp_path(AT_FDCWD, path))
		return sim_dsp_open(flags);
	if (is_device(AT_FDCWD, path))
		return open_device(flags);
	return sim.open64_2 ? sim.open64_2(path, flags) : sim.open(path, flags | O_LARGEFILE);
}
#endif

int close(int fd)
{
	setup();
	if (sim_dsp_owns(fd))
		sim_dsp_close(fd);
	int i = emulated(fd);
	if (i >= 0) {
		sim.fds[i] = sim.fds[--sim.nfds];
		note("close fd=%d\n", fd);
	}
	return sim.close(fd);
}

static const char *const keywords[] = {"rx_dev", "tx_dev", "rx_loop", "tx_loop"};

static int refuse(int error)
{
	errno = error;
	return -1;
}

static int has_part(int32_t part)
{
	return part >= 0 && part < sim.parts;
}

static int rate_request(int32_t *rate)
{
	if (sim.fail_rate) {
		note("ioctl rate request=0x40044f2a -> fail\n");
		return refuse(EIO);
	}
	*rate = sim.rate;
	note("ioctl rate request=0x40044f2a -> %d\n", sim.rate);
	return 0;
}

static void fir_fields(char *out, size_t size, const char *what, unsigned long request,
                       const struct fir_record *r)
{
	char address[32] = "null";
	if (r->coefficients != NULL)
		snprintf(address, sizeof address, "%p", (void *)r->coefficients);
	snprintf(out, size,
	         "ioctl %s target=%s request=0x%08lx part=%d channel=%d length=%d gap=%d "
	         "coefficients=%s",
	         what, keywords[((request & 0xff) - 0x22) / 2], request, r->part, r->channel,
	         r->length, r->gap, address);
}

static int fir_read(unsigned long request, struct fir_record *r)
{
	char fields[256];
	fir_fields(fields, sizeof fields, "fir_read", request, r);
	if (sim.fail_read || !has_part(r->part) || r->channel < 0 || r->channel >= sim.channels) {
		note("%s -> fail\n", fields);
		return refuse(sim.fail_read ? EIO : EINVAL);
	}
	r->length = sim.length;
	note("%s -> length=%d\n", fields, r->length);
	return 0;
}

static int fir_write(unsigned long request, struct fir_record *r)
{
	char fields[256];
	fir_fields(fields, sizeof fields, "fir_write", request, r);
	int injected = sim.fail_write_all || (r->channel >= 0 && r->channel < MAX_FAIL_CHANNELS &&
	                                      sim.fail_write[r->channel]);
	if (injected || !has_part(r->part) || r->channel < 0 || r->channel >= sim.channels) {
		note("%s -> fail\n", fields);
		return refuse(injected ? EIO : EINVAL);
	}
	if (r->coefficients == NULL) {
		note("%s -> off\n", fields);
		if (request == 0xC0184F25UL && r->part == 0)
			sim_eq_loaded(r->channel, r->length, NULL);
		return 0;
	}
	if (r->length != sim.length) {
		note("%s -> fail\n", fields);
		return refuse(EINVAL);
	}
	note("%s -> loaded\n", fields);
	if (request == 0xC0184F25UL && r->part == 0)
		sim_eq_loaded(r->channel, r->length, r->coefficients);
	for (int32_t k = 0; k < r->length; k++)
		note("coefficient %d %a\n", k, r->coefficients[k]);
	return 0;
}

static int part_info(unsigned long request, struct part_info_record *r)
{
	int zeros = r->reserved == 0;
	for (size_t i = 0; i < NAME_SIZE; i++)
		zeros = zeros && r->name[i] == '\0';
	const char *kind = (request & 0xff) == 1 ? "dev" : "loop";
	if (sim.fail_info || !has_part(r->part)) {
		note("ioctl part_info kind=%s request=0x%08lx part=%d zeros=%s -> fail\n", kind,
		     request, r->part, zeros ? "yes" : "no");
		return refuse(sim.fail_info ? EIO : EINVAL);
	}
	memcpy(r->name, sim.names[r->part], NAME_SIZE);
	note("ioctl part_info kind=%s request=0x%08lx part=%d zeros=%s -> name=%.76s\n", kind,
	     request, r->part, zeros ? "yes" : "no", r->name);
	return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
	setup();
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	if (sim_dsp_owns(fd))
		return sim_dsp_ioctl(fd, request, arg);
	if (emulated(fd) < 0)
		return sim.ioctl(fd, request, arg);

	switch (request) {
	case 0x40044F2AUL: return rate_request(arg);
	case 0xC0184F22UL:
	case 0xC0184F24UL:
	case 0xC0184F26UL:
	case 0xC0184F28UL: return fir_read(request, arg);
	case 0xC0184F23UL:
	case 0xC0184F25UL:
	case 0xC0184F27UL:
	case 0xC0184F29UL: return fir_write(request, arg);
	case 0xC0544F01UL:
	case 0xC0544F03UL: return part_info(request, arg);
	}
	note("ioctl unknown request=0x%08lx -> fail\n", request);
	return refuse(ENOTTY);
}
