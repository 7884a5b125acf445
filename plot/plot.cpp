#include "plot.h"

#include <fcntl.h>
#include <plplot.h>
#include <png.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace
{

// cmap0 entries: the page's own, then one a curve of the panel drawn.
enum colour : PLINT { paper = 0, ink = 1, grid_line = 2, first_curve = 3 };
static_assert(first_curve + plot_most_curves <= 16, "PLplot's cmap0 has 16 entries");

constexpr uint32_t picture_width = 1200, picture_height = 900;

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

// The plot process's program name, for the words of PLplot's fatal
// errors: PLplot's handler gets the message alone. Set once in the plot's
// process, never in the command's.
const char *plot_program = "plot";

// PLplot's fatal errors end the plot's process, never the command: while
// the driver starts they mean it is missing or broken, afterwards that
// PLplot failed. Either way PLplot's words go to standard error first.
int driver_failed(PLCHAR_VECTOR message)
{
	std::fprintf(stderr, "%s: PLplot: %s\n", plot_program, message);
	_exit(EX_CANTCREAT);
}

int plot_failed(PLCHAR_VECTOR message)
{
	std::fprintf(stderr, "%s: PLplot: %s\n", plot_program, message);
	_exit(EX_SOFTWARE);
}

const char *shown(const staged_file &file)
{
	return file.path == "-" ? "standard output" : file.path.c_str();
}

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

void draw_panel(const plot_panel &p, const box &at)
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

// Whether PLplot lists the device among its installed drivers.
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

// step(done) moves what it can of the bytes from done on; repeated until
// all size bytes are moved. false at the end of the pipe or on an error.
template <typename Step> bool all_bytes(size_t size, Step step)
{
	for (size_t done = 0; done < size;) {
		ssize_t n = step(done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		done += static_cast<size_t>(n);
	}
	return true;
}

bool read_all(int fd, void *to, size_t size)
{
	auto *at = static_cast<char *>(to);
	return all_bytes(size, [&](size_t done) { return read(fd, at + done, size - done); });
}

bool write_all(int fd, const void *from, size_t size)
{
	const auto *at = static_cast<const char *>(from);
	return all_bytes(size, [&](size_t done) { return write(fd, at + done, size - done); });
}

// A panel down the pipe: the index, the axis, scale and legend, the x
// range, the two labels, then each curve's label, style and points, every
// number as the host holds it (both ends are one program).
struct panel_head {
	int32_t index;
	uint8_t axis, scale, legend, curves;
	double x_from, x_to;
};
struct curve_head {
	uint8_t red, green, blue;
	int32_t dash;
	double width;
	uint64_t points;
};

template <typename T> void put(std::vector<char> &to, const T &v)
{
	const auto *at = reinterpret_cast<const char *>(&v);
	to.insert(to.end(), at, at + sizeof v);
}

void put_text(std::vector<char> &to, const std::string &text)
{
	put(to, uint64_t{text.size()});
	to.insert(to.end(), text.begin(), text.end());
}

void put_doubles(std::vector<char> &to, const std::vector<double> &v, size_t n)
{
	const auto *at = reinterpret_cast<const char *>(v.data());
	to.insert(to.end(), at, at + n * sizeof(double));
}

// Limits on what the process reads, so a fault can never make it allocate
// without end.
constexpr uint64_t longest_text = 4096, most_points = uint64_t{1} << 26;

bool read_text(int fd, std::string &text)
{
	uint64_t n = 0;
	if (!read_all(fd, &n, sizeof n) || n > longest_text)
		return false;
	text.resize(n);
	return read_all(fd, text.data(), n);
}

bool read_doubles(int fd, std::vector<double> &v, uint64_t n)
{
	v.resize(n);
	return read_all(fd, v.data(), n * sizeof(double));
}

bool read_panel(int fd, int &index, plot_panel &p)
{
	panel_head h{};
	if (!read_all(fd, &h, sizeof h) || h.curves > plot_most_curves)
		return false;
	index = h.index;
	p.axis = static_cast<plot_axis>(h.axis);
	p.scale = static_cast<plot_scale>(h.scale);
	p.legend = h.legend != 0;
	p.x_from = h.x_from;
	p.x_to = h.x_to;
	if (!read_text(fd, p.x_label) || !read_text(fd, p.y_label))
		return false;
	p.curves.resize(h.curves);
	for (plot_curve &c : p.curves) {
		curve_head ch{};
		if (!read_text(fd, c.label) || !read_all(fd, &ch, sizeof ch) ||
		    ch.points > most_points || !read_doubles(fd, c.x, ch.points) ||
		    !read_doubles(fd, c.y, ch.points))
			return false;
		c.style = {ch.red, ch.green, ch.blue, ch.width, ch.dash};
	}
	return true;
}

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

// The raster (8-bit RGB, rows from the top) as a PNG: compression level 1,
// every row filtered with Up. libpng's errors end the process.
void write_png(FILE *out, std::span<unsigned char> rgb, const png_context &context)
{
	png_structp png = png_create_write_struct(
	        PNG_LIBPNG_VER_STRING, const_cast<png_context *>(&context), png_failed, png_warned);
	if (png == nullptr)
		_exit(EX_OSERR);
	png_infop info = png_create_info_struct(png);
	if (info == nullptr)
		_exit(EX_OSERR);
	png_init_io(png, out);
	png_set_compression_level(png, 1);
	png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
	png_set_IHDR(png, info, picture_width, picture_height, 8, PNG_COLOR_TYPE_RGB,
	             PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
	std::vector<png_bytep> rows(picture_height);
	for (size_t y = 0; y < rows.size(); y++)
		rows[y] = rgb.data() + y * picture_width * 3;
	png_set_rows(png, info, rows.data());
	png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
	png_destroy_write_struct(&png, &info);
}

// The plot's process: never returns.
[[noreturn]] void plot_process(int pipe, const staged_file &file, const char *device,
                               const plot_page &page)
{
	int null = open("/dev/null", O_RDWR);
	if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0)
		_exit(EX_OSERR);
	sigset_t none;
	sigemptyset(&none);
	pthread_sigmask(SIG_SETMASK, &none, nullptr);
	plot_program = page.program;

	plsexit(driver_failed);
	if (!driver_installed(device))
		_exit(EX_CANTCREAT);
	// PLplot writes to this stream and closes it; it never opens a file.
	// A PNG is drawn in memory and written here.
	bool png = std::strcmp(device, "memcairo") == 0;
	int copy = dup(file.fd);
	FILE *out = copy < 0 ? nullptr : fdopen(copy, "wb");
	if (out == nullptr)
		_exit(EX_CANTCREAT);
	std::vector<unsigned char> picture;
	plsdev(device);
	if (png) {
		picture.assign(size_t{picture_width} * picture_height * 3, 255);
		plsmem(picture_width, picture_height, picture.data());
	} else {
		plsfile(out);
		plspage(0, 0, picture_width, picture_height, 0, 0);
	}
	plscol0(paper, 255, 255, 255);
	plscol0(ink, 20, 20, 20);
	plscol0(grid_line, 215, 215, 215);
	plinit();
	plsexit(plot_failed);

	// The title now: it loads the fonts while the command computes.
	const auto &boxes = layouts[page.extra];
	pladv(0);
	plvpor(boxes[0].left, boxes[0].right, boxes[0].bottom, boxes[0].top);
	plschr(0, 1.2);
	plmtex("t", 1.2, 0.5, 0.5, page.title.c_str());
	plschr(0, 0.9);

	bool drawn[3] = {};
	for (int left = page.extra + 1; left > 0; left--) {
		int index = -1;
		plot_panel panel;
		if (!read_panel(pipe, index, panel) || index < 0 || index > page.extra ||
		    drawn[index])
			_exit(EX_SOFTWARE); // the command gave up: no word, no plot
		drawn[index] = true;
		draw_panel(panel, boxes[index]);
	}
	plend();
	if (png) {
		png_context context{page.program, shown(file)};
		errno = 0;
		write_png(out, picture, context);
		bool bad = std::ferror(out) != 0;
		int e = errno;
		if (std::fclose(out) != 0) {
			bad = true;
			e = errno;
		}
		if (bad) {
			std::fprintf(stderr, "%s: cannot write %s: %s\n", page.program, shown(file),
			             std::strerror(e != 0 ? e : EIO));
			_exit(EX_IOERR);
		}
	}
	_exit(0);
}

// Whether the file ends as a whole file of the device's format ends.
bool whole(int fd, const char *device)
{
	struct stat st;
	if (fstat(fd, &st) != 0 || st.st_size < 16)
		return false;
	char tail[64];
	auto size = static_cast<size_t>(std::min<off_t>(st.st_size, sizeof tail));
	if (pread(fd, tail, size, st.st_size - static_cast<off_t>(size)) !=
	    static_cast<ssize_t>(size))
		return false;
	std::string_view end(tail, size);
	if (std::strcmp(device, "memcairo") == 0)
		return end.ends_with(std::string_view("\0\0\0\0IEND\xae\x42\x60\x82", 12));
	while (!end.empty() && (end.back() == '\n' || end.back() == '\r' || end.back() == ' '))
		end.remove_suffix(1);
	if (std::strcmp(device, "svg") == 0)
		return end.ends_with("</svg>");
	return end.ends_with("%%EOF");
}

// Waits until the process has ended, lets the caller forget it, then
// reaps it. 0 or errno, with its status.
int reap(plot_job &job, int &status)
{
	siginfo_t info{};
	while (waitid(P_PID, static_cast<id_t>(job.pid), &info, WEXITED | WNOWAIT) != 0)
		if (errno != EINTR)
			break;
	if (job.forget)
		job.forget();
	int e = 0;
	while (waitpid(job.pid, &status, 0) < 0)
		if (errno != EINTR) {
			e = errno;
			break;
		}
	job.pid = -1;
	return e;
}

void close_pipe(plot_job &job)
{
	if (job.pipe >= 0)
		close(job.pipe);
	job.pipe = -1;
}

} // namespace

plot_panel frequency_panel(double from, double to, std::string y_label)
{
	plot_panel p;
	p.axis = plot_axis::log_frequency;
	p.x_from = from < to ? from : to / 10;
	p.x_to = to;
	p.scale = plot_scale::decibels;
	p.x_label = "frequency (Hz)";
	p.y_label = std::move(y_label);
	p.legend = true;
	return p;
}

plot_panel time_panel(std::span<const double> samples, double rate, std::string y_label,
                      plot_style style)
{
	plot_panel p;
	size_t n = samples.size();
	p.x_to = n > 1 ? (static_cast<double>(n - 1) * 1000.0) / rate : 1000.0 / rate;
	p.x_label = "time (ms)";
	p.y_label = std::move(y_label);
	plot_curve c;
	c.style = style;
	constexpr size_t columns = 2400;
	if (n <= columns) {
		for (size_t i = 0; i < n; i++) {
			c.x.push_back((static_cast<double>(i) * 1000.0) / rate);
			c.y.push_back(samples[i]);
		}
	} else {
		for (size_t col = 0; col < columns; col++) {
			size_t from = col * n / columns, to = (col + 1) * n / columns;
			auto [mn, mx] =
			        std::minmax_element(samples.begin() + static_cast<long>(from),
			                            samples.begin() + static_cast<long>(to));
			double t = (static_cast<double>(from) * 1000.0) / rate;
			c.x.push_back(t);
			c.y.push_back(*mn);
			c.x.push_back(t);
			c.y.push_back(*mx);
		}
	}
	p.curves.push_back(std::move(c));
	return p;
}

const char *plot_device(std::string_view ext)
{
	if (ext == "svg")
		return "svg";
	if (ext == "png")
		return "memcairo";
	if (ext == "pdf")
		return "pdfcairo";
	return nullptr;
}

plot_job::~plot_job()
{
	close_pipe(*this);
	if (pid > 0) {
		kill(pid, SIGKILL);
		int status = 0;
		reap(*this, status);
	}
}

int plot_start(plot_job &job, const staged_file &file, const char *device, const plot_page &page)
{
	if (device == nullptr || page.extra < 0 || page.extra > 2)
		return EINVAL;
	int ends[2];
	if (::pipe(ends) != 0)
		return errno;
	pid_t pid = fork();
	if (pid < 0) {
		int e = errno;
		close(ends[0]);
		close(ends[1]);
		return e;
	}
	if (pid == 0) {
		close(ends[1]);
		plot_process(ends[0], file, device, page);
	}
	close(ends[0]);
	job.pid = pid;
	job.pipe = ends[1];
	job.device = device;
	job.program = page.program;
	job.panels = page.extra + 1;
	return 0;
}

int plot_send(plot_job &job, int index, const plot_panel &panel)
{
	if (job.pipe < 0)
		return EPIPE;
	if (index < 0 || index >= 3 || panel.curves.size() > plot_most_curves)
		return EINVAL;
	std::vector<char> bytes;
	// Zeroed first, padding and all: every byte sent is defined.
	panel_head h{};
	h.index = index;
	h.axis = static_cast<uint8_t>(panel.axis);
	h.scale = static_cast<uint8_t>(panel.scale);
	h.legend = panel.legend ? 1 : 0;
	h.curves = static_cast<uint8_t>(panel.curves.size());
	h.x_from = panel.x_from;
	h.x_to = panel.x_to;
	put(bytes, h);
	put_text(bytes, panel.x_label);
	put_text(bytes, panel.y_label);
	for (const plot_curve &c : panel.curves) {
		size_t n = std::min(c.x.size(), c.y.size());
		put_text(bytes, c.label);
		curve_head ch{};
		ch.red = c.style.red;
		ch.green = c.style.green;
		ch.blue = c.style.blue;
		ch.dash = c.style.dash;
		ch.width = c.style.width;
		ch.points = n;
		put(bytes, ch);
		put_doubles(bytes, c.x, n);
		put_doubles(bytes, c.y, n);
	}
	int e = write_all(job.pipe, bytes.data(), bytes.size()) ? 0 : errno;
	if (e == 0 && --job.panels == 0)
		close_pipe(job);
	return e;
}

int plot_end(plot_job &job, staged_file &file)
{
	close_pipe(job);
	const char *path = shown(file);
	int status = 0;
	if (int e = reap(job, status)) {
		std::fprintf(stderr, "%s: cannot draw %s: %s\n", job.program, path,
		             std::strerror(e));
		return EX_SOFTWARE;
	}
	if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) {
		std::fprintf(stderr, "%s: cannot write %s: %s\n", job.program, path,
		             std::strerror(EFBIG));
		return EX_IOERR;
	}
	if (WIFEXITED(status) && WEXITSTATUS(status) == EX_IOERR)
		return EX_IOERR; // the process said why
	if (WIFEXITED(status) && WEXITSTATUS(status) == EX_CANTCREAT) {
		std::fprintf(stderr,
		             "%s: cannot create %s: PLplot's %s driver is not installed "
		             "or does not start\n",
		             job.program, path, job.device);
		return EX_CANTCREAT;
	}
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		std::fprintf(stderr, "%s: cannot draw %s: the plot failed\n", job.program, path);
		return EX_SOFTWARE;
	}
	// PLplot does not report write errors: a short file is one.
	if (!whole(file.fd, job.device)) {
		std::fprintf(stderr, "%s: cannot write %s: the plot file is incomplete\n",
		             job.program, path);
		return EX_IOERR;
	}
	if (int e = finish(file)) {
		std::fprintf(stderr, "%s: cannot write %s: %s\n", job.program, path,
		             std::strerror(e));
		return EX_IOERR;
	}
	return 0;
}
