// FFTW's buffers and plans, each freed by its owner.
#pragma once

#include <fftw3.h>

#include <complex>
#include <cstddef>
#include <span>
#include <utility>

// An FFTW-aligned array of n values of T (double or fftw_complex).
template <typename T> struct fft_buffer {
	explicit fft_buffer(size_t n = 0)
	    : data_(n ? static_cast<T *>(fftw_malloc(n * sizeof(T))) : nullptr), size_(n)
	{
	}
	fft_buffer(const fft_buffer &) = delete;
	fft_buffer &operator=(const fft_buffer &) = delete;
	fft_buffer(fft_buffer &&o) noexcept
	    : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0))
	{
	}
	~fft_buffer() { fftw_free(data_); }

	T *data() const { return data_; }
	size_t size() const { return size_; }
	bool ok() const { return data_ != nullptr || size_ == 0; }
	T &operator[](size_t i) const { return data_[i]; }

      private:
	T *data_;
	size_t size_;
};

// A plan, destroyed with its owner.
struct fft_plan {
	explicit fft_plan(fftw_plan p = nullptr) : plan_(p) {}
	fft_plan(const fft_plan &) = delete;
	fft_plan &operator=(const fft_plan &) = delete;
	fft_plan(fft_plan &&o) noexcept : plan_(std::exchange(o.plan_, nullptr)) {}
	fft_plan &operator=(fft_plan &&o) noexcept
	{
		if (this != &o) {
			reset();
			plan_ = std::exchange(o.plan_, nullptr);
		}
		return *this;
	}
	~fft_plan() { reset(); }
	void reset()
	{
		if (plan_ != nullptr)
			fftw_destroy_plan(plan_);
		plan_ = nullptr;
	}
	bool ok() const { return plan_ != nullptr; }
	void run() const { fftw_execute(plan_); }

      private:
	fftw_plan plan_;
};

// A real signal of n samples and its n/2 + 1 bins, with the plans both
// ways (unnormalised, as FFTW computes them). FFTW's planner is not
// thread-safe: make these in the thread that makes the designer's plans.
struct real_fft {
	size_t n = 0;
	fft_buffer<double> time;
	fft_buffer<fftw_complex> bins;
	fft_plan forward, inverse;

	explicit real_fft(size_t size);
	bool ok() const { return forward.ok() && inverse.ok(); }
	std::complex<double> bin(size_t k) const { return {bins[k][0], bins[k][1]}; }
	void set_bin(size_t k, std::complex<double> v) const
	{
		bins[k][0] = v.real();
		bins[k][1] = v.imag();
	}
};

// The smallest length at least n whose only prime factors are 2, 3, 5 and
// 7: the lengths FFTW transforms fastest.
size_t fast_length(size_t n);
