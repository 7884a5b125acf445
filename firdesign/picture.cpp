#include "picture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

plot_page design_page(double rate, size_t taps, eq_phase phase)
{
	if (phase == eq_phase::minimum) {
		char title[160];
		std::snprintf(title, sizeof title, "%.0f Hz, %zu taps, minimum phase", rate, taps);
		return {"firdesign", title, 2};
	}
	size_t delay = taps % 2 == 0 ? taps / 2 : (taps - 1) / 2;
	char title[160];
	std::snprintf(title, sizeof title, "%.0f Hz, %zu taps, latency %zu samples (%.3f ms)", rate,
	              taps, delay, (static_cast<double>(delay) * 1000.0) / rate);
	return {"firdesign", title, 1};
}

plot_panel taps_panel(std::span<const double> taps, double rate, eq_phase phase)
{
	plot_style style{30, 90, 190, 1.0, 1};
	if (phase == eq_phase::linear)
		return time_panel(taps, rate, "tap", style);
	// A minimum-phase impulse starts at tap 0 and dies away: show it up to
	// where all but 0.01 % of its energy has arrived (at least 5 ms), not
	// as a spike at the left edge of the whole length.
	double total = 0;
	for (double t : taps)
		total += t * t;
	size_t shown = taps.size(), at_least = static_cast<size_t>(std::ceil(rate * 0.005));
	double sum = 0;
	for (size_t i = 0; i < taps.size(); i++) {
		sum += taps[i] * taps[i];
		if (sum >= total * 0.9999) {
			shown = std::min(taps.size(), std::max(i + 1, at_least));
			break;
		}
	}
	return time_panel(taps.first(shown), rate, "tap", style);
}

plot_panel gain_panel(const response &fine, double rate)
{
	plot_panel p = frequency_panel(10, rate / 2, "gain (dB)");
	plot_curve requested{fine.freq, {}, "requested", plot_orange};
	plot_curve achieved{fine.freq, {}, "achieved", plot_blue};
	for (size_t i = 0; i < fine.freq.size(); i++) {
		requested.y.push_back(to_db(fine.requested[i]));
		achieved.y.push_back(to_db(fine.achieved[i]));
	}
	p.curves.push_back(std::move(requested));
	p.curves.push_back(std::move(achieved));
	return p;
}

plot_panel delay_panel(const response &r, double rate)
{
	plot_panel p = frequency_panel(10, rate / 2, "group delay (ms)");
	p.scale = plot_scale::values;
	p.legend = false;
	double highest = 0;
	for (double g : r.requested)
		highest = std::max(highest, g);
	plot_curve delay{{}, {}, "", plot_blue};
	for (size_t i = 0; i < r.delay_ms.size() && i < r.freq.size(); i++) {
		if (!(r.requested[i] >= highest * 0.001) || !std::isfinite(r.delay_ms[i]))
			continue;
		delay.x.push_back(r.freq[i]);
		delay.y.push_back(r.delay_ms[i]);
	}
	p.curves.push_back(std::move(delay));
	return p;
}

response plot_response(const eq_state &state, const response &coarse)
{
	// At most about 3e7 terms in all, so long filters stay quick: half the
	// taps for linear phase, whose cosine sum takes half of them.
	auto half = state.phase == eq_phase::minimum ? static_cast<double>(state.length)
	                                             : static_cast<double>(state.length) / 2 + 1;
	double base = static_cast<double>(response_grid(state.rate).size());
	int density = 8;
	while (density > 1 && base * density * half > 3e7)
		density /= 2;
	if (density == 1)
		return coarse;
	return response_at(state, response_grid(state.rate, grid_per_octave * density));
}
