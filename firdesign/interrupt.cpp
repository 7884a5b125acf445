#include "interrupt.h"

#include <unistd.h>

#include <cerrno>

namespace
{

// What the thread does: waits, and on a signal cleans up and re-raises it
// with its default action, holding the lock until the process is gone.
void *take_signals(void *arg)
{
	auto &guard = *static_cast<interrupt_guard *>(arg);
	for (;;) {
		int sig = 0;
		if (sigwait(&guard.taken, &sig) != 0)
			continue;
		if (sig == SIGUSR1 && guard.stopping)
			return nullptr;
		guard.lock.lock();
		if (guard.child > 0)
			kill(guard.child, SIGKILL);
		for (const std::string &temp : guard.temps)
			unlink(temp.c_str());
		signal(sig, SIG_DFL);
		sigset_t one;
		sigemptyset(&one);
		sigaddset(&one, sig);
		pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
		raise(sig);
		_exit(128 + sig); // a signal whose default is to go on
	}
}

} // namespace

void hold_signals(interrupt_guard &guard)
{
	if (guard.held)
		return;
	guard.held = true;
	signal(SIGPIPE, SIG_IGN);
	signal(SIGXFSZ, SIG_IGN);
	sigemptyset(&guard.taken);
	// SIGUSR1 also stops the thread at the end of the run; from outside it
	// ends the run as it would have.
	for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
		sigaddset(&guard.taken, sig);
	pthread_sigmask(SIG_BLOCK, &guard.taken, &guard.previous);
}

interrupt_guard::~interrupt_guard()
{
	if (waiting) {
		stopping = true;
		pthread_kill(waiter, SIGUSR1);
		pthread_join(waiter, nullptr);
	}
	if (held)
		pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

int watch(interrupt_guard &guard)
{
	hold_signals(guard);
	if (guard.waiting)
		return 0;
	int e = pthread_create(&guard.waiter, nullptr, take_signals, &guard);
	guard.waiting = e == 0;
	return e;
}

int stage_guarded(interrupt_guard &guard, staged_file &file, const std::string &path)
{
	std::lock_guard<std::mutex> hold(guard.lock);
	int e = stage(file, path);
	if (!file.temp.empty())
		guard.temps.push_back(file.temp);
	return e;
}
