#include "fft.h"

#include <climits>

real_fft::real_fft(size_t size) : n(size), time(size), bins(size / 2 + 1)
{
	if (size == 0 || size > INT_MAX || !time.ok() || !bins.ok())
		return;
	int len = static_cast<int>(size);
	forward = fft_plan(fftw_plan_dft_r2c_1d(len, time.data(), bins.data(), FFTW_ESTIMATE));
	inverse = fft_plan(fftw_plan_dft_c2r_1d(len, bins.data(), time.data(), FFTW_ESTIMATE));
}

size_t fast_length(size_t n)
{
	for (size_t m = n < 1 ? 1 : n;; m++) {
		size_t r = m;
		for (size_t p : {size_t{2}, size_t{3}, size_t{5}, size_t{7}})
			while (r % p == 0)
				r /= p;
		if (r == 1)
			return m;
	}
}
