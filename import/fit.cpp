#include "fit.h"

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

} // namespace

std::vector<double> fit_grid(double rate)
{
	std::vector<double> grid;
	double top = rate / 2;
	for (int k = 0;; k++) {
		double f = round_trip(10.0 * std::exp2(k / 384.0), 6);
		if (!(f < top))
			break;
		if (grid.empty() || f > grid.back())
			grid.push_back(f);
	}
	grid.push_back(round_trip(top, 6) <= top ? round_trip(top, 6) : top);
	return grid;
}

bool within_tolerance(double g, double want, double scale)
{
	if (20 * std::log10(want) >= fit_floor_db)
		return g > 0 && std::fabs(20 * std::log10(g / want)) <= fit_tolerance_db * scale;
	return std::fabs(g - want) <= fit_tolerance_linear * scale;
}

std::string fit_layout(std::span<const double> freq, std::span<const double> gain, double rate,
                       size_t max_bytes)
{
	size_t n = freq.size();
	std::vector<double> g(n);
	for (size_t i = 0; i < n; i++)
		g[i] = round_trip(gain[i], 9);
	double strict_from = 20, strict_to = std::min(20000.0, rate / 2);
	// Half the tolerance at the grid points leaves the other half for what
	// happens between them; outside the audible range ten times as loose.
	auto fits = [&](size_t a, size_t b) {
		for (size_t k = a + 1; k < b; k++) {
			double t = (freq[k] - freq[a]) / (freq[b] - freq[a]);
			double line = g[a] + (g[b] - g[a]) * t;
			bool strict = freq[k] >= strict_from && freq[k] <= strict_to;
			if (!within_tolerance(line, gain[k], strict ? 0.5 : 5.0))
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
	std::string layout;
	char line[96];
	for (size_t i : chosen) {
		std::snprintf(line, sizeof line, "%.6g %.9g\n", freq[i], g[i]);
		layout += line;
		if (layout.size() > max_bytes)
			return {};
	}
	return layout;
}
