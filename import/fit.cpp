#include "fit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace
{

// Written to n significant digits, and the number that text reads back as.
double round_trip(double v, int digits)
{
	char text[64];
	std::snprintf(text, sizeof text, "%.*g", digits, v);
	return std::strtod(text, nullptr);
}

// Points checked inside each interval of the fit's grid: ten times as dense.
constexpr int subdivisions = 10;
// Rounds of refinement before the curve counts as too fast to follow.
constexpr int rounds = 12;
// The dense check keeps a little of the tolerance back for what lies
// between its own points.
constexpr double dense_share = 0.9;

// Indices of the breakpoints chosen from the grid: each segment holds half
// the tolerance at every grid point it spans.
std::vector<size_t> choose(std::span<const double> freq, std::span<const double> want,
                           std::span<const double> g, std::span<const fit_tolerance> half)
{
	size_t n = freq.size();
	auto fits = [&](size_t a, size_t b) {
		for (size_t k = a + 1; k < b; k++) {
			double t = (freq[k] - freq[a]) / (freq[b] - freq[a]);
			if (!within(g[a] + (g[b] - g[a]) * t, want[k], half[k]))
				return false;
		}
		return true;
	};
	std::vector<size_t> chosen{0};
	size_t a = 0;
	while (a + 1 < n) {
		// Gallop to a segment that no longer fits, then bisect.
		size_t good = a + 1, step = 1;
		size_t bad = n;
		while (good + step < n) {
			if (!fits(a, good + step)) {
				bad = good + step;
				break;
			}
			good += step;
			step *= 2;
		}
		if (bad == n && good + 1 < n && fits(a, n - 1))
			good = n - 1;
		while (bad < n && bad - good > 1) {
			size_t mid = good + (bad - good) / 2;
			if (fits(a, mid))
				good = mid;
			else
				bad = mid;
		}
		chosen.push_back(good);
		a = good;
	}
	return chosen;
}

} // namespace

fit_tolerance tolerance_at(double f, double rate)
{
	if (f < 20)
		return {fit_low_tolerance_db, fit_low_tolerance_linear};
	if (f > std::min(20000.0, rate / 2))
		return {fit_high_tolerance_db, fit_high_tolerance_linear};
	return {fit_tolerance_db, fit_tolerance_linear};
}

bool within(double g, double want, fit_tolerance t)
{
	if (20 * std::log10(want) >= fit_floor_db)
		return g > 0 && std::fabs(20 * std::log10(g / want)) <= t.db;
	return std::fabs(g - want) <= t.linear;
}

bool within_tolerance(double g, double want, double scale)
{
	return within(g, want, {fit_tolerance_db * scale, fit_tolerance_linear * scale});
}

std::vector<double> fit_grid(double rate)
{
	std::vector<double> grid;
	double top = rate / 2;
	for (int k = -240;; k++) {
		double f = round_trip(10.0 * std::exp2(k < 0 ? k / 24.0 : k / 384.0), 6);
		if (!(f < top))
			break;
		if (grid.empty() || f > grid.back())
			grid.push_back(f);
	}
	grid.push_back(round_trip(top, 6) <= top ? round_trip(top, 6) : top);
	return grid;
}

fit_result fit_curve(const std::function<double(double)> &gain, double rate, size_t max_bytes)
{
	fit_result result;
	double ceiling = std::pow(10.0, fit_ceiling_db / 20);
	// The source's gain at f, or false with the result's status set.
	auto sample = [&](double f, double &g) {
		g = gain(f);
		if (!std::isfinite(g) || g < 0)
			result.status = fit_status::not_finite;
		else if (g > ceiling)
			result.status = fit_status::too_loud;
		else
			return true;
		result.at_hz = f;
		return false;
	};

	std::vector<double> freq = fit_grid(rate);
	// First the whole curve on the dense grid: where it is not finite, or
	// where it peaks above the ceiling.
	double peak = 0, peak_hz = 0;
	for (size_t i = 0; i < freq.size(); i++) {
		double lo = i == 0 ? 0 : freq[i - 1];
		for (int j = 1; j <= subdivisions; j++) {
			double f = lo + (freq[i] - lo) * j / subdivisions, g = gain(f);
			if (!std::isfinite(g) || g < 0) {
				result.status = fit_status::not_finite;
				result.at_hz = f;
				return result;
			}
			if (g > peak) {
				peak = g;
				peak_hz = f;
			}
		}
	}
	if (peak > ceiling) {
		result.status = fit_status::too_loud;
		result.at_hz = peak_hz;
		return result;
	}
	double first_bad = -1;
	for (int round = 0; round < rounds; round++) {
		size_t n = freq.size();
		std::vector<double> want(n), g(n);
		std::vector<fit_tolerance> half(n);
		for (size_t i = 0; i < n; i++) {
			if (!sample(freq[i], want[i]))
				return result;
			g[i] = round_trip(want[i], 9);
			fit_tolerance t = tolerance_at(freq[i], rate);
			half[i] = {t.db / 2, t.linear / 2};
		}
		std::vector<size_t> chosen = choose(freq, want, g, half);

		// The layout between the grid points, as firload reads it: flat at
		// the first breakpoint's gain below it, linear between breakpoints.
		std::vector<double> added;
		first_bad = -1;
		auto check = [&](double f, double line, double lo, double hi) {
			double w = 0;
			if (!sample(f, w))
				return false;
			fit_tolerance t = tolerance_at(f, rate);
			if (!within(line, w, {t.db * dense_share, t.linear * dense_share})) {
				if (first_bad < 0)
					first_bad = f;
				for (int j = 1; j < subdivisions; j++) {
					double x = round_trip(lo + (hi - lo) * j / subdivisions, 9);
					if (x > lo && x < hi)
						added.push_back(x);
				}
			}
			return true;
		};
		for (int j = 0; j < subdivisions; j++)
			if (!check(freq[0] * j / subdivisions, g[0], 0, freq[0]))
				return result;
		size_t seg = 0;
		for (size_t i = 0; i + 1 < n; i++) {
			while (chosen[seg + 1] <= i)
				seg++;
			size_t a = chosen[seg], b = chosen[seg + 1];
			size_t before = added.size();
			for (int j = 1; j < subdivisions && added.size() == before; j++) {
				double f = freq[i] + (freq[i + 1] - freq[i]) * j / subdivisions;
				double line = g[a] +
				              (g[b] - g[a]) * ((f - freq[a]) / (freq[b] - freq[a]));
				if (!check(f, line, freq[i], freq[i + 1]))
					return result;
			}
		}
		if (first_bad < 0) {
			char line[96];
			for (size_t i : chosen) {
				std::snprintf(line, sizeof line, "%.9g %.9g\n", freq[i], g[i]);
				result.layout += line;
				if (result.layout.size() > max_bytes) {
					result.layout.clear();
					result.status = fit_status::too_long;
					return result;
				}
			}
			return result;
		}
		if (added.empty())
			break; // the grid is as fine as nine digits state
		freq.insert(freq.end(), added.begin(), added.end());
		std::sort(freq.begin(), freq.end());
		freq.erase(std::unique(freq.begin(), freq.end()), freq.end());
	}
	result.status = fit_status::too_fast;
	result.at_hz = first_bad;
	return result;
}
