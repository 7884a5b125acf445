// What ends a run from outside. From the moment the run creates its first
// temporary file, SIGINT, SIGTERM and SIGHUP are blocked and taken by a
// thread of their own, which removes the
// run's temporary files and ends the plot's process, then ends firdesign as
// the signal would have. The lock keeps that thread out while a temporary
// file is created or the files are renamed into place, so an interrupted
// run either leaves every file as it was or has renamed them all.
// SIGPIPE and SIGXFSZ are ignored: the write they would stop fails
// instead, and the run reports it (status 74).
#pragma once

#include "staged.h"

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

struct interrupt_guard {
	std::mutex lock;
	std::vector<std::string> temps; // named temporary files to remove
	// A process to end with the run; -1 again once it has ended, before
	// it is reaped, so its ID is never signalled after it is freed.
	pid_t child = -1;
	sigset_t taken;
	sigset_t previous;
	std::atomic<bool> stopping{false};
	pthread_t waiter{};
	bool held = false, waiting = false;

	interrupt_guard() = default;
	interrupt_guard(const interrupt_guard &) = delete;
	interrupt_guard &operator=(const interrupt_guard &) = delete;
	~interrupt_guard(); // stops the thread, unblocks the signals
};

// Ignores SIGPIPE and SIGXFSZ and blocks the signals the guard takes: they
// wait, pending, until watch starts the thread. Processes forked from now
// on inherit the mask.
void hold_signals(interrupt_guard &guard);

// Starts the thread that takes the signals. 0 or errno.
int watch(interrupt_guard &guard);

// stage, with the temporary file on the list of what a signal removes.
int stage_guarded(interrupt_guard &guard, staged_file &file, const std::string &path);
