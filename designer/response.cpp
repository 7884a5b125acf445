#include "response.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace
{

constexpr double pi = 3.141592653589793;

// Angles evaluated together: independent recurrences keep the pipeline
// full, and the vector type lets the compiler use SIMD where it has it.
constexpr size_t lanes = 8;
typedef double lane_vector __attribute__((vector_size(lanes * sizeof(double))));

// sum over m = 0..M of a[m] cos(m theta) for up to `lanes` angles at once,
// by Clenshaw's recurrence in Reinsch's form, which stays accurate near
// theta = 0 and pi where the plain form loses digits to cancellation:
//   d_k = a_k + lambda b_(k+1) + sign d_(k+1),  b_k = d_k + sign b_(k+1),
// and the sum is d_0 - (lambda / 2) b_1.
void cosine_sums(std::span<const double> a, const double *theta, double *out, size_t count)
{
	lane_vector lambda{}, sign{}, d{}, b{}, b1{};
	for (size_t j = 0; j < lanes; j++) {
		double t = j < count ? theta[j] : 0.0;
		if (std::cos(t) >= 0) {
			double s = std::sin(t / 2);
			lambda[j] = -4 * s * s;
			sign[j] = 1;
		} else {
			double c = std::cos(t / 2);
			lambda[j] = 4 * c * c;
			sign[j] = -1;
		}
	}
	for (size_t k = a.size(); k-- > 0;) {
		b1 = b;
		d = (a[k] + sign * d) + lambda * b;
		b = d + sign * b;
	}
	lane_vector sum = d - lambda / 2 * b1;
	for (size_t j = 0; j < count; j++)
		out[j] = sum[j];
}

} // namespace

std::vector<double> response_grid(double rate, int per_octave)
{
	std::vector<double> grid;
	double nyquist = rate / 2;
	for (int k = 0;; k++) {
		double f = 10.0 * std::exp2(static_cast<double>(k) / per_octave);
		if (!(f < nyquist))
			break;
		grid.push_back(f);
	}
	grid.push_back(nyquist);
	return grid;
}

std::vector<double> achieved_gains(std::span<const double> taps, double rate,
                                   std::span<const double> freqs)
{
	std::vector<double> out(freqs.size(), 0.0);
	size_t n = taps.size();
	if (n == 0)
		return out;
	// Symmetric about c: H = e^(-j w c) (t[c] + 2 sum_m t[c+m] cos(m w)).
	size_t c = n % 2 == 0 ? n / 2 : (n - 1) / 2;
	std::vector<double> a;
	a.reserve(n - c);
	a.push_back(taps[c]);
	for (size_t m = 1; c + m < n; m++)
		a.push_back(2 * taps[c + m]);
	// Terms whose magnitudes add up to less than this change no gain by
	// more than that: far below anything a response shows (-200 dB).
	constexpr double negligible = 1e-10;
	double tail = 0;
	size_t used = a.size();
	while (used > 1 && tail + std::fabs(a[used - 1]) < negligible)
		tail += std::fabs(a[--used]);
	a.resize(used);
	std::vector<double> theta(freqs.size());
	for (size_t i = 0; i < freqs.size(); i++)
		theta[i] = 2 * pi * freqs[i] / rate;
	for (size_t i = 0; i < freqs.size(); i += lanes) {
		size_t count = std::min(lanes, freqs.size() - i);
		cosine_sums(a, theta.data() + i, out.data() + i, count);
	}
	for (double &g : out)
		g = std::fabs(g);
	return out;
}

double to_db(double gain)
{
	return 20 * std::log10(gain);
}

response design_response(const eq_state &state)
{
	return response_at(state, response_grid(state.rate));
}

response response_at(const eq_state &state, std::vector<double> freq)
{
	response r;
	r.freq = std::move(freq);
	r.requested.reserve(r.freq.size());
	for (double f : r.freq)
		r.requested.push_back(std::fabs(eq_segments_gain(state.segments, f)) * state.scale);
	r.achieved = achieved_gains(
	        std::span<const double>(state.time, static_cast<size_t>(state.length)), state.rate,
	        r.freq);
	return r;
}

deviation largest_deviation(const response &r, double rate)
{
	deviation worst;
	double top = std::min(20000.0, rate / 2);
	for (size_t i = 0; i < r.freq.size(); i++) {
		if (r.freq[i] < 20.0 || r.freq[i] > top || !(r.requested[i] >= 0.001))
			continue;
		double dev = to_db(r.achieved[i]) - to_db(r.requested[i]);
		if (!worst.any || std::fabs(dev) > std::fabs(worst.db) || std::isnan(dev)) {
			worst = {true, dev, r.freq[i]};
			if (std::isnan(dev))
				break;
		}
	}
	return worst;
}

peak peak_gain(const response &r)
{
	peak best{-INFINITY, r.freq.empty() ? 0.0 : r.freq[0]};
	for (size_t i = 0; i < r.freq.size(); i++) {
		double db = to_db(r.achieved[i]);
		if (db > best.db) {
			best = {db, r.freq[i]};
		}
	}
	return best;
}

deviation design_deviation(const eq_state &state)
{
	double top = std::min(20000.0, state.rate / 2);
	std::vector<double> counted;
	for (double f : response_grid(state.rate))
		if (f >= 20.0 && f <= top)
			counted.push_back(f);
	return largest_deviation(response_at(state, std::move(counted)), state.rate);
}
