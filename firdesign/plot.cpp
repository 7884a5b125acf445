#include "plot.h"

#include <plplot.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <vector>

namespace
{

// cmap0 entries this plot sets up.
enum colour : PLINT { paper = 0, ink = 1, grid_line = 2, requested_line = 3, achieved_line = 4 };

// Plots give up quietly: PLplot's fatal errors end here instead of exit().
int refuse_exit(PLCHAR_VECTOR message)
{
	std::fprintf(stderr, "firdesign: plot: %s\n", message);
	return 0;
}

double finite_or(double v, double fallback)
{
	return std::isfinite(v) ? v : fallback;
}

// A dB range that shows the curves: at most 60 dB below the top, on 6 dB
// steps, at least 12 dB tall, with a step of headroom for the legend.
void db_range(const response &r, double &lo, double &hi)
{
	hi = -INFINITY;
	lo = INFINITY;
	for (size_t i = 0; i < r.freq.size(); i++)
		for (double g : {r.requested[i], r.achieved[i]}) {
			double db = to_db(g);
			if (std::isfinite(db)) {
				hi = std::max(hi, db);
				lo = std::min(lo, db);
			}
		}
	if (!std::isfinite(hi)) {
		hi = 6;
		lo = -6;
	}
	hi = 6 * std::ceil((hi + 1) / 6);
	lo = std::max(lo, hi - 60);
	hi += 6;
	lo = 6 * std::floor((lo - 1) / 6);
	if (hi - lo < 12)
		lo = hi - 12;
}

void frequency_labels(double xmin, double xmax)
{
	static const struct {
		double f;
		const char *text;
	} ticks[] = {{20, "20"},   {50, "50"},   {100, "100"}, {200, "200"},
	             {500, "500"}, {1e3, "1k"},  {2e3, "2k"},  {5e3, "5k"},
	             {1e4, "10k"}, {2e4, "20k"}, {5e4, "50k"}, {1e5, "100k"}};
	for (const auto &t : ticks) {
		double x = std::log10(t.f);
		if (x < xmin || x > xmax)
			continue;
		plmtex("b", 1.6, (x - xmin) / (xmax - xmin), 0.5, t.text);
	}
}

// Light grid lines, then the box, ticks and labels over them: xopt and
// yopt are plbox's options for the box, xlog "l" for a logarithmic axis.
void frame(const char *xlog, const char *xopt, const char *yopt, PLFLT ytick)
{
	std::string xgrid = std::string("gh") + xlog;
	plcol0(grid_line);
	plwidth(0.5);
	plbox(xgrid.c_str(), 0, 0, "g", ytick, 0);
	plcol0(ink);
	plwidth(1.0);
	plbox(xopt, 0, 0, yopt, ytick, 0);
}

void gain_panel(const response &r, double rate)
{
	double xmin = 1.0, xmax = std::log10(rate / 2);
	if (xmax <= xmin)
		xmin = xmax - 1;
	double lo, hi;
	db_range(r, lo, hi);
	plvpor(0.09, 0.97, 0.44, 0.90);
	plwind(xmin, xmax, lo, hi);
	frame("l", "bcstl", "bcnstv", hi - lo > 36 ? 12 : 6);
	frequency_labels(xmin, xmax);
	plmtex("b", 3.4, 0.5, 0.5, "frequency (Hz)");
	plmtex("l", 4.2, 0.5, 0.5, "gain (dB)");

	std::vector<double> x(r.freq.size()), req(r.freq.size()), got(r.freq.size());
	for (size_t i = 0; i < r.freq.size(); i++) {
		x[i] = std::log10(r.freq[i]);
		req[i] = finite_or(to_db(r.requested[i]), lo - 100);
		got[i] = finite_or(to_db(r.achieved[i]), lo - 100);
	}
	auto n = static_cast<PLINT>(x.size());
	plcol0(requested_line);
	plwidth(3.0);
	plline(n, x.data(), req.data());
	plcol0(achieved_line);
	plwidth(1.4);
	plline(n, x.data(), got.data());
	plwidth(1.0);

	PLINT opts[] = {PL_LEGEND_LINE, PL_LEGEND_LINE};
	PLINT text_colors[] = {ink, ink};
	const char *text[] = {"requested", "achieved"};
	PLINT line_colors[] = {requested_line, achieved_line};
	PLINT line_styles[] = {1, 1};
	PLFLT line_widths[] = {3.0, 1.4};
	PLFLT width, height;
	plcol0(ink);
	// In the headroom db_range leaves above the curves.
	pllegend(&width, &height, PL_LEGEND_BACKGROUND | PL_LEGEND_ROW_MAJOR,
	         PL_POSITION_TOP | PL_POSITION_RIGHT | PL_POSITION_INSIDE, 0.01, 0.02, 0.06, paper,
	         ink, 1, 1, 2, 2, opts, 1.0, 0.9, 2.0, 0.0, text_colors, text, nullptr, nullptr,
	         nullptr, nullptr, line_colors, line_styles, line_widths, nullptr, nullptr, nullptr,
	         nullptr);
}

void taps_panel(std::span<const double> taps, double rate)
{
	size_t n = taps.size();
	double tmax = n > 1 ? (static_cast<double>(n - 1) * 1000.0) / rate : 1000.0 / rate;
	double lo = 0, hi = 0;
	for (double t : taps) {
		lo = std::min(lo, t);
		hi = std::max(hi, t);
	}
	double pad = (hi - lo) * 0.08;
	if (pad == 0)
		pad = 0.5;
	plvpor(0.09, 0.97, 0.10, 0.31);
	plwind(0, tmax, lo - pad, hi + pad);
	frame("", "bcnst", "bcnstv", 0);
	plmtex("b", 3.0, 0.5, 0.5, "time (ms)");
	plmtex("l", 4.2, 0.5, 0.5, "tap");

	// More taps than the picture has columns: draw each column's range,
	// the smallest and largest tap in it, so every peak stays visible.
	constexpr size_t columns = 2400;
	std::vector<double> x, y;
	if (n <= columns) {
		for (size_t i = 0; i < n; i++) {
			x.push_back((static_cast<double>(i) * 1000.0) / rate);
			y.push_back(taps[i]);
		}
	} else {
		for (size_t c = 0; c < columns; c++) {
			size_t from = c * n / columns, to = (c + 1) * n / columns;
			auto [mn, mx] = std::minmax_element(taps.begin() + static_cast<long>(from),
			                                    taps.begin() + static_cast<long>(to));
			double t = (static_cast<double>(from) * 1000.0) / rate;
			x.push_back(t);
			y.push_back(*mn);
			x.push_back(t);
			y.push_back(*mx);
		}
	}
	plcol0(achieved_line);
	plline(static_cast<PLINT>(x.size()), x.data(), y.data());
	plcol0(ink);
}

} // namespace

const char *plot_device(std::string_view ext)
{
	if (ext == "svg")
		return "svg";
	if (ext == "png")
		return "pngcairo";
	if (ext == "pdf")
		return "pdfcairo";
	return nullptr;
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

int draw_plot(const std::string &path, const char *device, const response &fine,
              std::span<const double> taps, double rate)
{
	plsexit(refuse_exit);
	plsdev(device);
	plsfnam(path.c_str());
	plspage(0, 0, 1200, 900, 0, 0);
	plscol0(paper, 255, 255, 255);
	plscol0(ink, 20, 20, 20);
	plscol0(grid_line, 215, 215, 215);
	plscol0(requested_line, 240, 150, 60);
	plscol0(achieved_line, 30, 90, 190);
	plinit();
	pladv(0);
	plschr(0, 0.9);

	gain_panel(fine, rate);
	char title[160];
	size_t n = taps.size();
	size_t delay = n % 2 == 0 ? n / 2 : (n - 1) / 2;
	std::snprintf(title, sizeof title, "%.0f Hz, %zu taps, latency %zu samples (%.3f ms)", rate,
	              n, delay, (static_cast<double>(delay) * 1000.0) / rate);
	plschr(0, 1.2);
	plmtex("t", 1.2, 0.5, 0.5, title);
	plschr(0, 0.9);
	taps_panel(taps, rate);
	plend();
	return 0;
}
