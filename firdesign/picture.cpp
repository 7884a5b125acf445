#include "picture.h"

#include <cstdio>
#include <utility>

plot_page design_page(double rate, size_t taps)
{
	size_t delay = taps % 2 == 0 ? taps / 2 : (taps - 1) / 2;
	char title[160];
	std::snprintf(title, sizeof title, "%.0f Hz, %zu taps, latency %zu samples (%.3f ms)", rate,
	              taps, delay, (static_cast<double>(delay) * 1000.0) / rate);
	return {"firdesign", title, 1};
}

plot_panel taps_panel(std::span<const double> taps, double rate)
{
	return time_panel(taps, rate, "tap", {30, 90, 190, 1.0, 1});
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

response plot_response(const eq_state &state, const response &coarse)
{
	// At most about 3e7 terms in all, so long filters stay quick.
	auto half = static_cast<double>(state.length) / 2 + 1;
	double base = static_cast<double>(response_grid(state.rate).size());
	int density = 8;
	while (density > 1 && base * density * half > 3e7)
		density /= 2;
	if (density == 1)
		return coarse;
	return response_at(state, response_grid(state.rate, grid_per_octave * density));
}
