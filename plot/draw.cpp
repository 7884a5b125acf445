#include "draw.h"

#include <plplot.h>
#include <png.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

// cmap0 entries: the page's own, then one a curve of the panel drawn.
enum colour : PLINT { paper = 0, ink = 1, grid_line = 2, first_curve = 3 };
static_assert(first_curve + plot_most_curves <= 16, "PLplot's cmap0 has 16 entries");

// Where the panels go on the page (normalized: left, right, bottom, top),
// for 0, 1 and 2 extra panels.
struct box {
	double left, right, bottom, top;
};
constexpr box layouts[3][3] = {
        {{0.09, 0.97, 0.10, 0.90}, {}, {}},
        {{0.09, 0.97, 0.44, 0.90}, {0.09, 0.97, 0.10, 0.31}, {}},
        {{0.09, 0.97, 0.60, 0.90}, {0.09, 0.97, 0.35, 0.49}, {0.09, 0.97, 0.10, 0.24}},
};

// The y range of a panel, and its grid step (0: PLplot's choice).
void y_range(const plot_panel &p, double &lo, double &hi, double &step)
{
	hi = -HUGE_VAL;
	lo = HUGE_VAL;
	for (const plot_curve &c : p.curves)
		for (double v : c.y)
			if (std::isfinite(v)) {
				hi = std::max(hi, v);
				lo = std::min(lo, v);
			}
	if (p.scale == plot_scale::values) {
		lo = std::min(lo, 0.0);
		hi = std::max(hi, 0.0);
		double pad = (hi - lo) * 0.08;
		if (pad == 0)
			pad = 0.5;
		lo -= pad;
		hi += pad;
		step = 0;
		return;
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
	step = hi - lo > 36 ? 12 : 6;
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

void legend(const plot_panel &p)
{
	std::vector<PLINT> opts, text_colors, line_colors, line_styles;
	std::vector<PLFLT> line_widths;
	std::vector<const char *> text;
	for (size_t i = 0; i < p.curves.size(); i++) {
		const plot_curve &c = p.curves[i];
		if (c.label.empty())
			continue;
		opts.push_back(PL_LEGEND_LINE);
		text_colors.push_back(ink);
		text.push_back(c.label.c_str());
		line_colors.push_back(first_curve + static_cast<PLINT>(i));
		line_styles.push_back(c.style.dash);
		line_widths.push_back(c.style.width);
	}
	if (text.empty())
		return;
	auto n = static_cast<PLINT>(text.size());
	PLFLT width, height;
	plcol0(ink);
	// In the headroom the decibel range leaves above the curves.
	pllegend(&width, &height, PL_LEGEND_BACKGROUND | PL_LEGEND_ROW_MAJOR,
	         PL_POSITION_TOP | PL_POSITION_RIGHT | PL_POSITION_INSIDE, 0.01, 0.02, 0.06, paper,
	         ink, 1, 1, n, n, opts.data(), 1.0, 0.9, 2.0, 0.0, text_colors.data(), text.data(),
	         nullptr, nullptr, nullptr, nullptr, line_colors.data(), line_styles.data(),
	         line_widths.data(), nullptr, nullptr, nullptr, nullptr);
}

void draw_box_panel(const plot_panel &p, const box &at)
{
	bool log = p.axis == plot_axis::log_frequency;
	double xmin = p.x_from, xmax = p.x_to;
	if (log) {
		xmin = std::log10(xmin);
		xmax = std::log10(xmax);
	}
	double lo, hi, step;
	y_range(p, lo, hi, step);
	plvpor(at.left, at.right, at.bottom, at.top);
	plwind(xmin, xmax, lo, hi);
	if (log) {
		frame("l", "bcstl", "bcnstv", step);
		frequency_labels(xmin, xmax);
		plmtex("b", 3.4, 0.5, 0.5, p.x_label.c_str());
	} else {
		frame("", "bcnst", "bcnstv", step);
		plmtex("b", 3.0, 0.5, 0.5, p.x_label.c_str());
	}
	plmtex("l", 4.2, 0.5, 0.5, p.y_label.c_str());

	std::vector<double> x, y;
	for (size_t i = 0; i < p.curves.size(); i++) {
		const plot_curve &c = p.curves[i];
		size_t n = std::min(c.x.size(), c.y.size());
		x.resize(n);
		y.resize(n);
		for (size_t k = 0; k < n; k++) {
			x[k] = log ? std::log10(c.x[k]) : c.x[k];
			y[k] = std::isfinite(c.y[k]) ? c.y[k] : lo - 100;
		}
		auto slot = first_curve + static_cast<PLINT>(i);
		plscol0(slot, c.style.red, c.style.green, c.style.blue);
		plcol0(slot);
		plwidth(c.style.width);
		pllsty(c.style.dash);
		plline(static_cast<PLINT>(n), x.data(), y.data());
	}
	plwidth(1.0);
	pllsty(1);
	if (p.legend)
		legend(p);
	plcol0(ink);
}

} // namespace

bool driver_installed(const char *device)
{
	std::vector<const char *> menu(256), names(256);
	const char **menu_at = menu.data(), **names_at = names.data();
	int n = static_cast<int>(names.size());
	plgDevs(&menu_at, &names_at, &n);
	for (int i = 0; i < n; i++)
		if (std::strcmp(names[static_cast<size_t>(i)], device) == 0)
			return true;
	return false;
}

void page_colours()
{
	plscol0(paper, 255, 255, 255);
	plscol0(ink, 20, 20, 20);
	plscol0(grid_line, 215, 215, 215);
}

void draw_title(const plot_page &page)
{
	// Above the main panel.
	const box &at = layouts[page.extra][0];
	pladv(0);
	plvpor(at.left, at.right, at.bottom, at.top);
	plschr(0, 1.2);
	plmtex("t", 1.2, 0.5, 0.5, page.title.c_str());
	plschr(0, 0.9);
}

void draw_panel(const plot_page &page, int index, const plot_panel &panel)
{
	draw_box_panel(panel, layouts[page.extra][index]);
}

namespace
{

// What libpng's errors need to say why the process ends.
struct png_context {
	const char *program;
	const char *path;
};

[[noreturn]] void png_failed(png_structp png, png_const_charp message)
{
	const auto *c = static_cast<const png_context *>(png_get_error_ptr(png));
	int e = errno;
	std::fprintf(stderr, "%s: cannot write %s: %s\n", c->program, c->path,
	             e != 0 ? std::strerror(e) : message);
	_exit(EX_IOERR);
}

void png_warned(png_structp, png_const_charp) {}

} // namespace

void write_png(FILE *out, std::span<unsigned char> rgb, const char *program, const char *path)
{
	png_context context{program, path};
	png_structp png =
	        png_create_write_struct(PNG_LIBPNG_VER_STRING, &context, png_failed, png_warned);
	if (png == nullptr)
		_exit(EX_OSERR);
	png_infop info = png_create_info_struct(png);
	if (info == nullptr)
		_exit(EX_OSERR);
	png_init_io(png, out);
	png_set_compression_level(png, 1);
	png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
	png_set_IHDR(png, info, page_width, page_height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
	             PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
	std::vector<png_bytep> rows(page_height);
	for (size_t y = 0; y < rows.size(); y++)
		rows[y] = rgb.data() + y * page_width * 3;
	png_set_rows(png, info, rows.data());
	png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
	png_destroy_write_struct(&png, &info);
}
