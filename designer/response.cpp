#include "response.h"

#include "halves.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <cstddef>
#include <utility>

namespace
{

using std::numbers::pi;

// Angles evaluated together: independent recurrences keep the pipeline
// full, and the vector type lets the compiler use SIMD where it has it.
constexpr size_t lanes = 8;
typedef double lane_vector __attribute__((vector_size(lanes * sizeof(double))));

// sum over m = 0..M of a[m] cos(m theta) for up to `lanes` angles at once,
// by Clenshaw's recurrence in Reinsch's form, which stays accurate near
// theta = 0 and pi where the plain form loses digits to cancellation:
//   d_k = a_k + lambda b_(k+1) + sign d_(k+1),  b_k = d_k + sign b_(k+1),
// and the sum is d_0 - (lambda / 2) b_1. The same recurrence gives the sum
// of a[m] sin(m theta) as b_1 sin(theta), into sines when given.
void cosine_sums(std::span<const double> a, const double *theta, double *out, size_t count,
                 double *sines = nullptr)
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
	if (sines != nullptr)
		for (size_t j = 0; j < count; j++)
			sines[j] = b1[j] * std::sin(theta[j]);
}

// cosine_sums of a and of m a[m] together, in one pass: the cosine and
// sine sums of both, for the gain and the group delay of taps a.
void weighted_sums(std::span<const double> a, const double *theta, size_t count, double *c,
                   double *s, double *cn, double *sn)
{
	lane_vector lambda{}, sign{}, d{}, b{}, b1{}, e{}, g{}, g1{};
	for (size_t j = 0; j < lanes; j++) {
		double t = j < count ? theta[j] : 0.0;
		if (std::cos(t) >= 0) {
			double h = std::sin(t / 2);
			lambda[j] = -4 * h * h;
			sign[j] = 1;
		} else {
			double h = std::cos(t / 2);
			lambda[j] = 4 * h * h;
			sign[j] = -1;
		}
	}
	for (size_t k = a.size(); k-- > 0;) {
		b1 = b;
		g1 = g;
		d = (a[k] + sign * d) + lambda * b;
		b = d + sign * b;
		e = (static_cast<double>(k) * a[k] + sign * e) + lambda * g;
		g = e + sign * g;
	}
	lane_vector sum = d - lambda / 2 * b1, weighted = e - lambda / 2 * g1;
	for (size_t j = 0; j < count; j++) {
		double sine = std::sin(theta[j]);
		c[j] = sum[j];
		s[j] = b1[j] * sine;
		cn[j] = weighted[j];
		sn[j] = g1[j] * sine;
	}
}

// The terms a gain is summed from: for symmetric taps the cosine sum's
// coefficients, otherwise the taps themselves (a[m] = t[m]), whose sum has
// a sine part too. Terms at the end whose magnitudes add up to less than
// 1e-10 of the whole are dropped: they change no gain by more than 1e-10
// of the largest the taps can give (-200 dB), at any scale of the taps.
struct terms {
	std::vector<double> a;
	bool symmetric = true;
};

void drop_negligible(std::vector<double> &a)
{
	double total = 0;
	for (double v : a)
		total += std::fabs(v);
	double negligible = 1e-10 * total;
	double tail = 0;
	size_t used = a.size();
	while (used > 1 && tail + std::fabs(a[used - 1]) < negligible)
		tail += std::fabs(a[--used]);
	a.resize(used);
}

// The taps symmetric about c as a cosine sum:
//   H = e^(-j w c) (t[c] + 2 sum_m t[c+m] cos(m w)),
// the coefficients of that sum, a[0] = t[c] and a[m] = 2 t[c+m].
terms terms_of(std::span<const double> taps, eq_phase phase)
{
	terms t;
	if (phase == eq_phase::minimum) {
		t.a.assign(taps.begin(), taps.end());
		t.symmetric = false;
	} else {
		size_t n = taps.size();
		size_t c = n % 2 == 0 ? n / 2 : (n - 1) / 2;
		t.a.reserve(n - c);
		t.a.push_back(taps[c]);
		for (size_t m = 1; c + m < n; m++)
			t.a.push_back(2 * taps[c + m]);
	}
	drop_negligible(t.a);
	return t;
}

// How gains are had from the taps: summed over their terms, or, for
// minimum-phase taps whose design put them on the spread grid, read from
// it.
struct evaluator {
	terms t;
	const spread_state *spread = nullptr;
};

// Below this many terms the sum is as cheap as the grid, and exact: a
// flat design (one impulse) has the same gain at every frequency, not one
// that varies in its last digits.
constexpr size_t summed_terms = 512;

evaluator evaluator_of(const eq_state &state)
{
	evaluator e;
	e.t = terms_of(std::span<const double>(state.time, static_cast<size_t>(state.length)),
	               state.phase);
	if ((state.phase == eq_phase::minimum || state.spread_linear) && state.spread.filled &&
	    e.t.a.size() > summed_terms) {
		e.spread = &state.spread;
		e.t = {};
	}
	return e;
}

// Radians per sample of every f of freqs.
std::vector<double> angles(double rate, std::span<const double> freqs)
{
	std::vector<double> theta(freqs.size());
	for (size_t i = 0; i < freqs.size(); i++)
		theta[i] = 2 * pi * freqs[i] / rate;
	return theta;
}

// The gain of the terms at w = 2 pi f / rate for every f of freqs, into
// out: |sum of a[m] cos(m w)| for symmetric taps, |sum of a[m] e^(-j m w)|
// otherwise.
void gains_of(const terms &t, double rate, std::span<const double> freqs, double *out)
{
	double theta[lanes], sines[lanes];
	for (size_t i = 0; i < freqs.size(); i += lanes) {
		size_t count = std::min(lanes, freqs.size() - i);
		for (size_t j = 0; j < count; j++)
			theta[j] = 2 * pi * freqs[i + j] / rate;
		cosine_sums(t.a, theta, out + i, count, t.symmetric ? nullptr : sines);
		if (!t.symmetric)
			for (size_t j = 0; j < count; j++)
				out[i + j] = std::hypot(out[i + j], sines[j]);
	}
	for (size_t i = 0; i < freqs.size(); i++)
		out[i] = std::fabs(out[i]);
}

void gains_of(const evaluator &e, double rate, std::span<const double> freqs, double *out)
{
	if (e.spread != nullptr)
		spread_at(*e.spread, angles(rate, freqs).data(), freqs.size(), out, nullptr);
	else
		gains_of(e.t, rate, freqs, out);
}

// The largest few of the values offered, with where they are.
struct top_few {
	static constexpr size_t kept = 3;
	size_t count = 0;
	double value[kept];
	size_t where[kept];
	void offer(double v, size_t at)
	{
		if (count == kept && !(v > value[kept - 1]))
			return;
		size_t i = count < kept ? count++ : kept - 1;
		while (i > 0 && v > value[i - 1]) {
			value[i] = value[i - 1];
			where[i] = where[i - 1];
			i--;
		}
		value[i] = v;
		where[i] = at;
	}
};

// Narrows [lo, hi] around the largest score(f, gain) of the taps' gain,
// eight exact points at a time; returns the best point seen and its gain.
template <class Score>
std::pair<double, double> refine(const evaluator &a, double rate, double lo, double hi, Score score)
{
	double best_f = lo, best_gain = 0, best = -HUGE_VAL;
	for (int round = 0; round < 3 && hi > lo; round++) {
		double f[lanes], g[lanes];
		double step = (hi - lo) / (lanes - 1);
		for (size_t j = 0; j < lanes; j++)
			f[j] = j + 1 == lanes ? hi : lo + static_cast<double>(j) * step;
		gains_of(a, rate, f, g);
		size_t at = 0;
		double top = -HUGE_VAL;
		for (size_t j = 0; j < lanes; j++) {
			double v = score(f[j], g[j]);
			if (v > top) {
				top = v;
				at = j;
			}
		}
		if (top > best) {
			best = top;
			best_f = f[at];
			best_gain = g[at];
		}
		double centre = f[at];
		lo = std::max(lo, centre - step);
		hi = std::min(hi, centre + step);
	}
	return {best_f, best_gain};
}

// How far achieved is from requested, as the factor above 1 either way;
// -1 where the request is below least (too small to count), and NaN stays
// NaN.
double departure(double achieved, double requested, double least)
{
	if (!(requested >= least) && !std::isnan(requested))
		return -1;
	double q = achieved / requested;
	return q >= 1 ? q : 1 / q;
}

} // namespace

double counted_request(const eq_state &state)
{
	double highest = state.segments.empty() ? 1.0 : 0.0;
	for (const eq_segment &s : state.segments)
		highest = std::max({highest, std::fabs(s.g0), std::fabs(s.g1)});
	return highest * state.scale * 0.001;
}

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
                                   std::span<const double> freqs, eq_phase phase)
{
	std::vector<double> out(freqs.size(), 0.0);
	if (taps.empty())
		return out;
	gains_of(terms_of(taps, phase), rate, freqs, out.data());
	return out;
}

namespace
{

// The gain of the taps (any shape), and their group delay in samples when
// delays is given, at every f of freqs. With H = C - jS from the taps and
// D = Cn - jSn from n times them, the delay is
// Re(D / H) = (Cn C + Sn S) / (C^2 + S^2).
void general_response(std::span<const double> taps, double rate, std::span<const double> freqs,
                      double *gains, double *delays)
{
	terms t = terms_of(taps, eq_phase::minimum);
	double theta[lanes], c[lanes], s[lanes], cn[lanes], sn[lanes];
	for (size_t i = 0; i < freqs.size(); i += lanes) {
		size_t count = std::min(lanes, freqs.size() - i);
		for (size_t j = 0; j < count; j++)
			theta[j] = 2 * pi * freqs[i + j] / rate;
		if (delays != nullptr)
			weighted_sums(t.a, theta, count, c, s, cn, sn);
		else
			cosine_sums(t.a, theta, c, count, s);
		for (size_t j = 0; j < count; j++) {
			double power = c[j] * c[j] + s[j] * s[j];
			if (gains != nullptr)
				gains[i + j] = std::sqrt(power);
			if (delays != nullptr)
				delays[i + j] = (cn[j] * c[j] + sn[j] * s[j]) / power;
		}
	}
}

} // namespace

std::vector<double> group_delays(std::span<const double> taps, double rate,
                                 std::span<const double> freqs)
{
	std::vector<double> out(freqs.size(), 0.0);
	if (!taps.empty())
		general_response(taps, rate, freqs, nullptr, out.data());
	return out;
}

double to_db(double gain)
{
	return 20 * std::log10(gain);
}

response response_at(const eq_state &state, std::vector<double> freq, bool with_delay)
{
	response r;
	r.freq = std::move(freq);
	r.requested.reserve(r.freq.size());
	for (double f : r.freq)
		r.requested.push_back(std::fabs(eq_segments_gain(state.segments, f)) * state.scale);
	std::span<const double> taps(state.time, static_cast<size_t>(state.length));
	if (state.phase == eq_phase::minimum && !taps.empty()) {
		r.achieved.resize(r.freq.size());
		if (with_delay)
			r.delay_ms.resize(r.freq.size());
		if (evaluator_of(state).spread != nullptr)
			spread_at(state.spread, angles(state.rate, r.freq).data(), r.freq.size(),
			          r.achieved.data(), with_delay ? r.delay_ms.data() : nullptr);
		else
			general_response(taps, state.rate, r.freq, r.achieved.data(),
			                 with_delay ? r.delay_ms.data() : nullptr);
		for (double &d : r.delay_ms)
			d *= 1000 / state.rate;
	} else if (!taps.empty() && evaluator_of(state).spread != nullptr) {
		r.achieved.resize(r.freq.size());
		spread_at(state.spread, angles(state.rate, r.freq).data(), r.freq.size(),
		          r.achieved.data(), nullptr);
	} else {
		r.achieved = achieved_gains(taps, state.rate, r.freq, state.phase);
	}
	return r;
}

deviation design_deviation(const eq_state &state)
{
	return design_deviation(state, audio_band(state.rate));
}

band audio_band(double rate)
{
	return band{20.0, std::min(20000.0, rate / 2)};
}

design_figures figures_of(const eq_state &state, const response &r, band b, bool with_peak)
{
	design_figures fig;
	double rate = state.rate, nyquist = rate / 2;
	double low = b.low, high = std::min(b.high, nyquist);
	std::span<const double> taps(state.time, static_cast<size_t>(state.length));
	if (taps.empty())
		return fig;
	evaluator a = evaluator_of(state);
	auto requested = [&](double f) {
		return std::fabs(eq_segments_gain(state.segments, f)) * state.scale;
	};
	double least = counted_request(state);

	// Exact points: r's, the breakpoints of pieces narrower than two bins
	// (the bins and their refinement follow wider ones), the band's edges
	// and both ends.
	std::vector<double> freq(r.freq), gain(r.achieved);
	std::vector<double> extra = {0.0, nyquist};
	double bin = rate / static_cast<double>(taps.size());
	for (const eq_segment &s : state.segments)
		if (!(s.f1 - s.f0 >= 2 * bin))
			for (double f : {s.f0, s.f1})
				extra.push_back(f);
	extra.push_back(low);
	extra.push_back(high);
	std::erase_if(extra, [&](double f) { return !(f >= 0 && f <= nyquist); });
	std::sort(extra.begin(), extra.end());
	extra.erase(std::unique(extra.begin(), extra.end()), extra.end());
	std::vector<double> extra_gain(extra.size());
	gains_of(a, rate, extra, extra_gain.data());
	freq.insert(freq.end(), extra.begin(), extra.end());
	gain.insert(gain.end(), extra_gain.begin(), extra_gain.end());

	double top = -HUGE_VAL, worst = -1;
	auto offer_peak = [&](double f, double g) {
		if (g > top || (g == top && f < fig.top.freq)) {
			top = g;
			fig.top.freq = f;
		}
	};
	auto offer_dev = [&](double f, double g) {
		if (f < low || f > high)
			return;
		double q = requested(f);
		double e = departure(g, q, least);
		if (e < 0)
			return;
		if (std::isnan(worst))
			return;
		if (std::isnan(e) || e > worst || (e == worst && f < fig.dev.freq)) {
			worst = e;
			fig.dev = {true, to_db(g) - to_db(q), f};
		}
	};
	for (size_t i = 0; i < freq.size(); i++) {
		if (with_peak)
			offer_peak(freq[i], gain[i]);
		offer_dev(freq[i], gain[i]);
	}

	// The achieved gain at the bins, which the design computed already.
	size_t n = taps.size(), k = n / 2;
	std::vector<double> bins(k + 1);
	for (size_t i = 0; i <= k; i++) {
		double re = state.spectrum[i];
		double im = i >= 1 && (i < k || n % 2 == 1) ? state.spectrum[n - i] : 0.0;
		bins[i] = std::sqrt(re * re + im * im) * static_cast<double>(n) * state.scale;
	}
	double spacing = rate / static_cast<double>(n);
	auto at = [&](size_t i) { return static_cast<double>(i) * spacing; };
	auto bracket = [&](size_t i, double lo, double hi) {
		return std::pair{std::max(lo, i == 0 ? 0.0 : at(i - 1)), std::min(hi, at(i + 1))};
	};
	if (with_peak && k >= 1) {
		// Each local maximum by the parabola through it and its neighbours;
		// the highest few exactly.
		top_few peaks;
		for (size_t i = 0; i <= k; i++) {
			double left = i == 0 ? bins[1] : bins[i - 1];
			double right = i == k ? bins[i - 1] : bins[i + 1];
			double v = bins[i];
			if (left > v || right > v)
				continue;
			double curve = left - 2 * v + right;
			double shift = curve < 0 ? 0.5 * (left - right) / curve : 0.0;
			peaks.offer(v - 0.25 * (left - right) * shift, i);
		}
		for (size_t p = 0; p < peaks.count; p++) {
			size_t i = peaks.where[p];
			offer_peak(at(i), bins[i]);
			// A parabola that rises less than 0.004 dB above the bin (a
			// flat stretch): nothing between the bins to find.
			if (!(peaks.value[p] > bins[i] * 1.0005))
				continue;
			auto [lo, hi] = bracket(i, 0.0, nyquist);
			auto [f, g] = refine(a, rate, lo, hi, [](double, double v) { return v; });
			offer_peak(f, g);
		}
	}
	// The local maxima of the departure at the bins within the band, the
	// largest few refined.
	size_t first = static_cast<size_t>(std::max(0.0, std::ceil(low / spacing)));
	size_t last = std::min(k, static_cast<size_t>(std::max(0.0, std::floor(high / spacing))));
	if (first <= last && at(first) <= high) {
		top_few devs;
		double before = -1, here = departure(bins[first], requested(at(first)), least);
		for (size_t i = first; i <= last; i++) {
			double after =
			        i < last ? departure(bins[i + 1], requested(at(i + 1)), least) : -1;
			if (std::isnan(here)) {
				offer_dev(at(i), bins[i]);
				break;
			}
			if (here >= 0 && !(before > here) && !(after > here))
				devs.offer(here, i);
			before = here;
			here = after;
		}
		for (size_t p = 0; p < devs.count; p++) {
			size_t i = devs.where[p];
			offer_dev(at(i), bins[i]);
			// Below 0.1 dB no advice depends on it.
			if (!(devs.value[p] > 1.0116))
				continue;
			auto [lo, hi] = bracket(i, low, high);
			auto [f, g] = refine(a, rate, lo, hi, [&](double at_f, double v) {
				double d = departure(v, requested(at_f), least);
				return std::isnan(d) ? static_cast<double>(HUGE_VAL) : d;
			});
			offer_dev(f, g);
		}
	}
	if (with_peak)
		fig.top.db = to_db(top);
	return fig;
}

response response_at_in_two(const eq_state &state, std::vector<double> grid, bool with_delay)
{
	// From the spread grid every point costs next to nothing.
	if (evaluator_of(state).spread != nullptr)
		return response_at(state, std::move(grid), with_delay);
	// Every point is computed on its own, so the halves give the numbers
	// of one call.
	response part[2];
	in_halves(
	        grid.size(),
	        [&](size_t begin, size_t end) {
		        part[begin == 0 ? 0 : 1] = response_at(
		                state,
		                std::vector<double>(grid.begin() + static_cast<long>(begin),
		                                    grid.begin() + static_cast<long>(end)),
		                with_delay);
	        },
	        2);
	response &r = part[0];
	for (auto [to, from] :
	     {std::pair{&r.freq, &part[1].freq}, std::pair{&r.requested, &part[1].requested},
	      std::pair{&r.achieved, &part[1].achieved}, std::pair{&r.delay_ms, &part[1].delay_ms}})
		to->insert(to->end(), from->begin(), from->end());
	return std::move(r);
}

response design_response(const eq_state &state)
{
	return response_at_in_two(state, response_grid(state.rate), true);
}

deviation design_deviation(const eq_state &state, band b)
{
	double top = std::min(b.high, state.rate / 2);
	std::vector<double> counted;
	for (double f : response_grid(state.rate))
		if (f >= b.low && f <= top)
			counted.push_back(f);
	return figures_of(state, response_at_in_two(state, std::move(counted)), b, false).dev;
}
