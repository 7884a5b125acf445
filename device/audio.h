// The OSS audio device: the one place that opens it and sends it requests.
// Each helper returns the system call's result (negative on failure, errno
// set); the command decides what to print and how to end.
#pragma once

#include <cstdint>
#include <span>

// Opens path read-write (play and record on one descriptor), retrying on
// EINTR.
int audio_open(const char *path);

// Format, channel count and rate requests: each asks for the value given
// and leaves the device's answer in it.
int audio_set_format(int fd, int32_t &format);
int audio_set_channels(int fd, int32_t &channels);
int audio_set_rate(int fd, int32_t &rate);

// The 32-bit formats in this machine's byte order.
int32_t audio_s32();
int32_t audio_f32();

// Plays `play` and records as many bytes into `record`, both directions
// started together by one trigger request after the output buffer was
// filled as far as it goes. Each wait for the device is bounded by
// timeout_ms. 0, or -1 with errno set (ETIMEDOUT when the device stalls,
// EIO when it ends the stream).
int audio_play_record(int fd, std::span<const unsigned char> play, std::span<unsigned char> record,
                      int timeout_ms);
