#include "fit.h"

#include <pthread.h>

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

// Powers of ten that a double holds exactly.
constexpr double exact_tens[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                 1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A tolerance with the bounds of the gain ratio it allows, so that most
// comparisons need no logarithm. A ratio within a billionth of a bound is
// compared as within() does, by its logarithm.
struct ratio_bound {
	fit_tolerance t;
	double low, high;
};

constexpr double bound_margin = 1e-9;

ratio_bound bound_of(fit_tolerance t)
{
	return {t, std::pow(10.0, -t.db / 20), std::pow(10.0, t.db / 20)};
}

// within(g, want, b.t), the same answer.
bool within_bound(double g, double want, const ratio_bound &b, double floor_gain)
{
	bool above;
	if (want > floor_gain * (1 + bound_margin))
		above = true;
	else if (want < floor_gain * (1 - bound_margin))
		above = false;
	else
		return within(g, want, b.t);
	if (!above)
		return std::fabs(g - want) <= b.t.linear;
	if (!(g > 0))
		return false;
	double r = g / want;
	if (r > b.low * (1 + bound_margin) && r < b.high * (1 - bound_margin))
		return true;
	if (r < b.low * (1 - bound_margin) || r > b.high * (1 + bound_margin))
		return false;
	return within(g, want, b.t);
}

// Points checked inside each interval of the fit's grid: ten times as dense.
constexpr int subdivisions = 10;
// Rounds of refinement before the curve counts as too fast to follow.
constexpr int rounds = 12;
// The dense check keeps a little of the tolerance back for what lies
// between its own points.
constexpr double dense_share = 0.9;

// Which of tolerance_at's three tolerances holds at f: 0 below 20 Hz, 1
// within the audible range, 2 above it.
int region_at(double f, double rate)
{
	if (f < 20)
		return 0;
	return f > std::min(20000.0, rate / 2) ? 2 : 1;
}

// The bounds of a fit: half of each region's tolerance at the grid points
// and dense_share of it at the checked points.
struct fit_bounds {
	ratio_bound half[3], dense[3];
	double floor_gain;
};

fit_bounds bounds_for()
{
	fit_bounds b{};
	const fit_tolerance each[3] = {{fit_low_tolerance_db, fit_low_tolerance_linear},
	                               {fit_tolerance_db, fit_tolerance_linear},
	                               {fit_high_tolerance_db, fit_high_tolerance_linear}};
	for (int r = 0; r < 3; r++) {
		fit_tolerance t = each[r];
		b.half[r] = bound_of({t.db / 2, t.linear / 2});
		b.dense[r] = bound_of({t.db * dense_share, t.linear * dense_share});
	}
	b.floor_gain = std::pow(10.0, fit_floor_db / 20);
	return b;
}

// Indices of the breakpoints chosen from the grid: each segment holds half
// the tolerance at every grid point it spans.
std::vector<size_t> choose(std::span<const double> freq, std::span<const double> want,
                           std::span<const double> g, std::span<const unsigned char> region,
                           const fit_bounds &bounds)
{
	size_t n = freq.size();
	auto fits = [&](size_t a, size_t b) {
		for (size_t k = a + 1; k < b; k++) {
			double t = (freq[k] - freq[a]) / (freq[b] - freq[a]);
			if (!within_bound(g[a] + (g[b] - g[a]) * t, want[k], bounds.half[region[k]],
			                  bounds.floor_gain))
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

// The checked points between lo and hi: lo + (hi - lo) j / subdivisions.
double checked_point(double lo, double hi, int j)
{
	return lo + (hi - lo) * j / subdivisions;
}

// The source's gains already known at the points of the grid and at the
// checked points below each of them (j = 1 to subdivisions from the point
// before, or from 0 Hz below the first); NaN where not yet known. A
// round's refinement keeps what still lies between the same two points.
struct known_gains {
	std::vector<double> at;    // at each grid point
	std::vector<double> below; // subdivisions a grid point, j - 1
};

// The gains known for the refined grid next, from those of grid.
known_gains carried(std::span<const double> grid, const known_gains &k,
                    std::span<const double> next)
{
	known_gains out;
	out.at.assign(next.size(), std::nan(""));
	out.below.assign(next.size() * subdivisions, std::nan(""));
	size_t old = 0;
	for (size_t i = 0; i < next.size(); i++) {
		while (old < grid.size() && grid[old] < next[i])
			old++;
		if (old == grid.size() || grid[old] != next[i])
			continue;
		out.at[i] = k.at[old];
		// The same interval below it: its neighbour below is the same.
		bool same = i == 0 ? old == 0 : old > 0 && grid[old - 1] == next[i - 1];
		if (same)
			std::copy_n(
			        k.below.begin() + static_cast<std::ptrdiff_t>(old * subdivisions),
			        subdivisions,
			        out.below.begin() + static_cast<std::ptrdiff_t>(i * subdivisions));
	}
	return out;
}

// gains at every f, into g: the upper half in a second thread when there
// are many. Every point is worked out on its own, so the numbers are those
// of one call, whichever thread ran.
struct half_gains {
	const gain_batch *gains;
	std::span<const double> f;
	std::span<double> g;
};

void *gains_in_thread(void *job)
{
	auto &j = *static_cast<half_gains *>(job);
	(*j.gains)(j.f, j.g);
	return nullptr;
}

void gains_in_two(const gain_batch &gains, std::span<const double> f, std::span<double> g)
{
	constexpr size_t worth_a_thread = 4096;
	if (f.size() < worth_a_thread) {
		gains(f, g);
		return;
	}
	size_t half = f.size() / 2;
	half_gains upper{&gains, f.subspan(half), g.subspan(half)};
	pthread_t helper;
	bool threaded = pthread_create(&helper, nullptr, gains_in_thread, &upper) == 0;
	gains(f.first(half), g.first(half));
	if (threaded)
		pthread_join(helper, nullptr);
	else
		gains_in_thread(&upper);
}

} // namespace

double rounded(double v, int digits)
{
	// v times a power of ten, one rounding away from the exact product,
	// is an integer of `digits` digits and a fraction: unless that
	// fraction is near a half, or the product near the digits' bounds,
	// its nearest integer is the one the text states, and that integer
	// divided by the exact power is the number the text reads back as.
	if (!(v >= 1e-14 && v < 1e8) || digits < 1 || digits > 9)
		return round_trip(v, digits);
	int p = digits - 1 - static_cast<int>(std::floor(std::log10(v)));
	double least = exact_tens[digits - 1], most = exact_tens[digits];
	if (p < 0 || p > 22)
		return round_trip(v, digits);
	double scaled = v * exact_tens[p];
	if (!(scaled > least + 1 && scaled < most - 1))
		return round_trip(v, digits);
	double whole = std::floor(scaled), part = scaled - whole;
	if (std::fabs(part - 0.5) < 1e-6)
		return round_trip(v, digits);
	return (part < 0.5 ? whole : whole + 1) / exact_tens[p];
}

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
		double f = rounded(10.0 * std::exp2(k < 0 ? k / 24.0 : k / 384.0), 6);
		if (!(f < top))
			break;
		if (grid.empty() || f > grid.back())
			grid.push_back(f);
	}
	grid.push_back(rounded(top, 6) <= top ? rounded(top, 6) : top);
	return grid;
}

fit_result fit_curve(const gain_batch &gains, double rate, size_t max_bytes)
{
	fit_result result;
	double ceiling = std::pow(10.0, fit_ceiling_db / 20);
	// Whether the source's gain g at f can be fitted; false with the
	// result's status set.
	auto usable = [&](double f, double g) {
		if (!std::isfinite(g) || g < 0)
			result.status = fit_status::not_finite;
		else if (g > ceiling)
			result.status = fit_status::too_loud;
		else
			return true;
		result.at_hz = f;
		return false;
	};
	fit_bounds bounds = bounds_for();

	std::vector<double> freq = fit_grid(rate);
	known_gains known;
	known.at.assign(freq.size(), std::nan(""));
	// First the whole curve on the dense grid: where it is not finite, or
	// where it peaks above the ceiling. Its gains are the first round's.
	std::vector<double> dense(freq.size() * subdivisions);
	for (size_t i = 0; i < freq.size(); i++)
		for (int j = 1; j <= subdivisions; j++)
			dense[i * subdivisions + static_cast<size_t>(j - 1)] =
			        checked_point(i == 0 ? 0 : freq[i - 1], freq[i], j);
	known.below.resize(dense.size());
	gains_in_two(gains, dense, known.below);
	double peak = 0, peak_hz = 0;
	for (size_t k = 0; k < dense.size(); k++) {
		double g = known.below[k];
		if (!std::isfinite(g) || g < 0) {
			result.status = fit_status::not_finite;
			result.at_hz = dense[k];
			return result;
		}
		if (g > peak) {
			peak = g;
			peak_hz = dense[k];
		}
	}
	if (peak > ceiling) {
		result.status = fit_status::too_loud;
		result.at_hz = peak_hz;
		return result;
	}
	for (size_t i = 0; i < freq.size(); i++)
		if (dense[i * subdivisions + subdivisions - 1] == freq[i])
			known.at[i] = known.below[i * subdivisions + subdivisions - 1];
	double first_bad = -1;
	for (int round = 0; round < rounds; round++) {
		size_t n = freq.size();
		std::vector<double> &want = known.at;
		// The gains not known yet: at new grid points, and at the checked
		// points of new intervals (0 Hz too, below the first point). They
		// are used, and refused, in the order the check comes to them.
		std::vector<double> f_new;
		std::vector<double *> to;
		for (size_t i = 0; i < n; i++)
			if (std::isnan(want[i])) {
				f_new.push_back(freq[i]);
				to.push_back(&want[i]);
			}
		double at_zero = 0;
		f_new.push_back(0);
		to.push_back(&at_zero);
		for (size_t i = 0; i < n; i++) {
			double *below = &known.below[i * subdivisions];
			if (!std::isnan(below[0]))
				continue;
			for (int j = 1; j < subdivisions; j++) {
				f_new.push_back(
				        checked_point(i == 0 ? 0 : freq[i - 1], freq[i], j));
				to.push_back(&below[j - 1]);
			}
		}
		std::vector<double> g_new(f_new.size());
		gains_in_two(gains, f_new, g_new);
		for (size_t k = 0; k < to.size(); k++)
			*to[k] = g_new[k];

		std::vector<double> g(n);
		std::vector<unsigned char> region(n);
		for (size_t i = 0; i < n; i++) {
			if (!usable(freq[i], want[i]))
				return result;
			g[i] = rounded(want[i], 9);
			region[i] = static_cast<unsigned char>(region_at(freq[i], rate));
		}
		std::vector<size_t> chosen = choose(freq, want, g, region, bounds);

		// The layout between the grid points, as firload reads it: flat at
		// the first breakpoint's gain below it, linear between breakpoints.
		std::vector<double> added;
		first_bad = -1;
		// The checked point j below grid point i (j 0: 0 Hz).
		auto check = [&](size_t i, int j, double line) {
			double lo = i == 0 ? 0 : freq[i - 1], hi = freq[i];
			double f = checked_point(lo, hi, j);
			double w =
			        j == 0 ? at_zero
			               : known.below[i * subdivisions + static_cast<size_t>(j - 1)];
			if (!usable(f, w))
				return false;
			if (!within_bound(line, w, bounds.dense[region_at(f, rate)],
			                  bounds.floor_gain)) {
				if (first_bad < 0)
					first_bad = f;
				for (int k = 1; k < subdivisions; k++) {
					double x = rounded(checked_point(lo, hi, k), 9);
					if (x > lo && x < hi)
						added.push_back(x);
				}
			}
			return true;
		};
		for (int j = 0; j < subdivisions; j++)
			if (!check(0, j, g[0]))
				return result;
		size_t seg = 0;
		for (size_t i = 0; i + 1 < n; i++) {
			while (chosen[seg + 1] <= i)
				seg++;
			size_t a = chosen[seg], b = chosen[seg + 1];
			size_t before = added.size();
			for (int j = 1; j < subdivisions && added.size() == before; j++) {
				double f = checked_point(freq[i], freq[i + 1], j);
				double line = g[a] +
				              (g[b] - g[a]) * ((f - freq[a]) / (freq[b] - freq[a]));
				if (!check(i + 1, j, line))
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
		std::vector<double> next = freq;
		next.insert(next.end(), added.begin(), added.end());
		std::sort(next.begin(), next.end());
		next.erase(std::unique(next.begin(), next.end()), next.end());
		known = carried(freq, known, next);
		freq = std::move(next);
	}
	result.status = fit_status::too_fast;
	result.at_hz = first_bad;
	return result;
}
