#include "audio.h"

#include "oss.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

int audio_open(const char *path)
{
	if (path == nullptr) {
		errno = ENOENT;
		return -1;
	}
	int fd;
	do
		fd = open(path, O_RDWR | O_CLOEXEC);
	while (fd < 0 && errno == EINTR);
	return fd;
}

int audio_set_format(int fd, int32_t &format)
{
	return ioctl(fd, SNDCTL_DSP_SETFMT, &format);
}

int audio_set_channels(int fd, int32_t &channels)
{
	return ioctl(fd, SNDCTL_DSP_CHANNELS, &channels);
}

int audio_set_rate(int fd, int32_t &rate)
{
	return ioctl(fd, SNDCTL_DSP_SPEED, &rate);
}

int32_t audio_s32()
{
	return FIRLOAD_AFMT_S32_NE;
}

int32_t audio_f32()
{
	return FIRLOAD_AFMT_F32_NE;
}

int audio_play_record(int fd, std::span<const unsigned char> play, std::span<unsigned char> record,
                      int timeout_ms)
{
	int flags = fcntl(fd, F_GETFL);
	if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
		return -1;
	// Nothing starts on the first write while the trigger is clear.
	int32_t bits = 0;
	if (ioctl(fd, SNDCTL_DSP_SETTRIGGER, &bits) < 0)
		return -1;
	size_t played = 0, recorded = 0;
	auto put = [&]() {
		ssize_t n = write(fd, play.data() + played, play.size() - played);
		if (n > 0)
			played += static_cast<size_t>(n);
		return n >= 0 || errno == EAGAIN || errno == EINTR;
	};
	if (!play.empty() && !put())
		return -1;
	bits = PCM_ENABLE_INPUT | PCM_ENABLE_OUTPUT;
	if (ioctl(fd, SNDCTL_DSP_SETTRIGGER, &bits) < 0)
		return -1;
	while (recorded < record.size()) {
		pollfd p{fd, static_cast<short>(POLLIN | (played < play.size() ? POLLOUT : 0)), 0};
		int ready = poll(&p, 1, timeout_ms);
		if (ready < 0 && errno == EINTR)
			continue;
		if (ready < 0)
			return -1;
		if (ready == 0) {
			errno = ETIMEDOUT;
			return -1;
		}
		if ((p.revents & POLLOUT) && played < play.size() && !put())
			return -1;
		if (p.revents & POLLIN) {
			ssize_t n = read(fd, record.data() + recorded, record.size() - recorded);
			if (n == 0) {
				errno = EIO;
				return -1;
			}
			if (n < 0 && errno != EAGAIN && errno != EINTR)
				return -1;
			if (n > 0)
				recorded += static_cast<size_t>(n);
		}
		if (p.revents & (POLLERR | POLLNVAL)) {
			errno = EIO;
			return -1;
		}
	}
	bits = 0;
	ioctl(fd, SNDCTL_DSP_SETTRIGGER, &bits);
	return 0;
}
