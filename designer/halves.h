// Work split in two halves done at once, the upper one in a thread of its
// own: for loops whose every element is computed on its own, so the result
// is the same however the halves run.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <type_traits>

#include <cstddef>

// Below this many elements a thread costs more than it saves.
inline constexpr size_t halves_least = 4096;

template <class Work> struct half_of {
	Work *work;
	size_t begin, end;
	static void *run(void *job)
	{
		auto *h = static_cast<half_of *>(job);
		(*h->work)(h->begin, h->end);
		return nullptr;
	}
};

// work(begin, end) over [0, count): the lower half here, the upper one in
// a helper thread, or here after the lower one when no thread can be had
// or count is below least (elements costly enough may want fewer).
template <class Work> void in_halves(size_t count, Work &&work, size_t least = halves_least)
{
	if (count < least || count < 2) {
		work(size_t{0}, count);
		return;
	}
	size_t middle = count / 2;
	half_of<std::remove_reference_t<Work>> upper{&work, middle, count};
	pthread_t helper;
	bool threaded = pthread_create(&helper, nullptr, upper.run, &upper) == 0;
	work(size_t{0}, middle);
	if (threaded)
		pthread_join(helper, nullptr);
	else
		upper.run(&upper);
}

// A helper thread kept through a run of splits (the passes of a design
// over one grid), spinning between them: a split then costs about a
// microsecond instead of a thread's start (some 50 on a virtual machine).
// With one processor, or no thread to be had, its splits run here, half
// after half, so that what they compute is the same either way. Waits
// give the processor up after 64 turns: where both threads share one,
// spinning longer would stall each split.
struct team {
	enum : int { idle, given, done, leave };
	pthread_t thread{};
	bool running = false;
	std::atomic<int> state{idle};
	void (*job)(void *, size_t, size_t) = nullptr;
	void *work = nullptr;
	size_t begin = 0, end = 0;

	static void wait_turn(int &spins)
	{
		if (++spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
			__builtin_ia32_pause();
#endif
		} else {
			sched_yield();
		}
	}
	static void *serve(void *self)
	{
		auto *t = static_cast<team *>(self);
		for (;;) {
			int s, spins = 0;
			while ((s = t->state.load(std::memory_order_acquire)) == idle || s == done)
				wait_turn(spins);
			if (s == leave)
				return nullptr;
			t->job(t->work, t->begin, t->end);
			t->state.store(done, std::memory_order_release);
		}
	}
	explicit team(bool wanted = true)
	{
		running = wanted && sysconf(_SC_NPROCESSORS_ONLN) > 1 &&
		          pthread_create(&thread, nullptr, serve, this) == 0;
	}
	~team()
	{
		if (running) {
			state.store(leave, std::memory_order_release);
			pthread_join(thread, nullptr);
		}
	}
	team(const team &) = delete;
	team &operator=(const team &) = delete;
};

// in_halves with the team's helper taking the upper half.
template <class Work>
void in_halves(team &t, size_t count, Work &&work, size_t least = halves_least)
{
	if (count < least || count < 2) {
		work(size_t{0}, count);
		return;
	}
	size_t middle = count / 2;
	if (!t.running) {
		work(size_t{0}, middle);
		work(middle, count);
		return;
	}
	using plain = std::remove_reference_t<Work>;
	t.job = [](void *w, size_t begin, size_t end) { (*static_cast<plain *>(w))(begin, end); };
	t.work = const_cast<void *>(static_cast<const void *>(&work));
	t.begin = middle;
	t.end = count;
	t.state.store(team::given, std::memory_order_release);
	work(size_t{0}, middle);
	int spins = 0;
	while (t.state.load(std::memory_order_acquire) != team::done)
		team::wait_turn(spins);
}

// Work done in a helper thread while its owner goes on: start() begins it,
// finish() (or the end of the scope) waits for it, or does it then when no
// thread could be had. Not moved once started.
template <class Work> struct alongside {
	Work work;
	pthread_t thread{};
	bool wanted = false, started = false, done = false;

	static void *run(void *job)
	{
		static_cast<alongside *>(job)->work();
		return nullptr;
	}
	void start()
	{
		wanted = true;
		started = pthread_create(&thread, nullptr, run, this) == 0;
	}
	void finish()
	{
		if (!wanted || done)
			return;
		done = true;
		if (started)
			pthread_join(thread, nullptr);
		else
			work();
	}
	~alongside() { finish(); }
};
template <class Work> alongside(Work) -> alongside<Work>;
