// Work split in two halves done at once, the upper one in a thread of its
// own: for loops whose every element is computed on its own, so the result
// is the same however the halves run.
#pragma once

#include <pthread.h>

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
