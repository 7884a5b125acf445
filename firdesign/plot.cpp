#include "plot.h"

#include "png.h"

#include <fcntl.h>
#include <plplot.h>
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

// cmap0 entries this plot sets up.
enum colour : PLINT { paper = 0, ink = 1, grid_line = 2, requested_line = 3, achieved_line = 4 };

// PLplot's fatal errors end the plot's process, never firdesign: while the
// driver starts they mean it is missing or broken, afterwards that PLplot
// failed. Either way PLplot's words go to standard error first.
int driver_failed(PLCHAR_VECTOR message)
{
	std::fprintf(stderr, "firdesign: PLplot: %s\n", message);
	_exit(EX_CANTCREAT);
}

int plot_failed(PLCHAR_VECTOR message)
{
	std::fprintf(stderr, "firdesign: PLplot: %s\n", message);
	_exit(EX_SOFTWARE);
}

double finite_or(double v, double fallback)
{
	return std::isfinite(v) ? v : fallback;
}

// A dB range that shows the curves: at most 60 dB below the top, on 6 dB
// steps, at least 12 dB tall, with a step of headroom for the legend.
void db_range(const response &r, double &lo, double &hi)
{
	hi = -HUGE_VAL;
	lo = HUGE_VAL;
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

// The points of the taps panel: every tap, or with more taps than the
// picture has columns each column's range, the smallest and largest tap in
// it, so every peak stays visible.
void tap_points(std::span<const double> taps, double rate, std::vector<double> &x,
                std::vector<double> &y)
{
	constexpr size_t columns = 2400;
	size_t n = taps.size();
	if (n <= columns) {
		for (size_t i = 0; i < n; i++) {
			x.push_back((static_cast<double>(i) * 1000.0) / rate);
			y.push_back(taps[i]);
		}
		return;
	}
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

void taps_panel(std::span<const double> x, std::span<const double> y, size_t n, double rate)
{
	double tmax = n > 1 ? (static_cast<double>(n - 1) * 1000.0) / rate : 1000.0 / rate;
	double lo = 0, hi = 0;
	for (double t : y) {
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
	plcol0(achieved_line);
	plline(static_cast<PLINT>(x.size()), x.data(), y.data());
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

bool read_all(int fd, void *to, size_t size)
{
	auto *at = static_cast<char *>(to);
	while (size > 0) {
		ssize_t n = read(fd, at, size);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		at += n;
		size -= static_cast<size_t>(n);
	}
	return true;
}

bool write_all(int fd, const void *from, size_t size)
{
	const auto *at = static_cast<const char *>(from);
	while (size > 0) {
		ssize_t n = write(fd, at, size);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		at += n;
		size -= static_cast<size_t>(n);
	}
	return true;
}

// What goes down the pipe, in two parts: as soon as the taps are known the
// count and the x and y of the taps panel, and once the response is known
// the count and the grid, requested and achieved gains.
bool read_doubles(int fd, std::vector<double> &v, uint64_t n)
{
	v.resize(n);
	return read_all(fd, v.data(), n * sizeof(double));
}

constexpr uint32_t picture_width = 1200, picture_height = 900;

// The plot's process: never returns.
[[noreturn]] void plot_process(int curves, const staged_file &file, const char *device, double rate,
                               size_t n)
{
	int null = open("/dev/null", O_RDWR);
	if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0)
		_exit(EX_OSERR);
	sigset_t none;
	sigemptyset(&none);
	pthread_sigmask(SIG_SETMASK, &none, nullptr);

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
	plscol0(requested_line, 240, 150, 60);
	plscol0(achieved_line, 30, 90, 190);
	plinit();
	plsexit(plot_failed);

	// The title needs only the rate and the length: drawing it now loads
	// the fonts while the filter is designed.
	pladv(0);
	plvpor(0.09, 0.97, 0.44, 0.90);
	char title[160];
	size_t delay = n % 2 == 0 ? n / 2 : (n - 1) / 2;
	std::snprintf(title, sizeof title, "%.0f Hz, %zu taps, latency %zu samples (%.3f ms)", rate,
	              n, delay, (static_cast<double>(delay) * 1000.0) / rate);
	plschr(0, 1.2);
	plmtex("t", 1.2, 0.5, 0.5, title);
	plschr(0, 0.9);

	uint64_t points = 0, grid = 0;
	std::vector<double> x, y;
	if (!read_all(curves, &points, sizeof points) || !read_doubles(curves, x, points) ||
	    !read_doubles(curves, y, points))
		_exit(EX_SOFTWARE); // firdesign gave up: no word, no plot
	taps_panel(x, y, n, rate);
	response fine;
	if (!read_all(curves, &grid, sizeof grid) || !read_doubles(curves, fine.freq, grid) ||
	    !read_doubles(curves, fine.requested, grid) ||
	    !read_doubles(curves, fine.achieved, grid))
		_exit(EX_SOFTWARE);
	gain_panel(fine, rate);
	plend();
	if (png) {
		write_png(out, picture, picture_width, picture_height);
		bool bad = std::ferror(out) != 0;
		int e = errno;
		if (std::fclose(out) != 0) {
			bad = true;
			e = errno;
		}
		if (bad) {
			std::fprintf(stderr, "firdesign: cannot write %s: %s\n",
			             file.path == "-" ? "standard output" : file.path.c_str(),
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

} // namespace

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

plot_job::~plot_job()
{
	if (curves >= 0)
		close(curves);
	if (pid > 0) {
		kill(pid, SIGKILL);
		while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
		}
	}
}

int start_plot(plot_job &job, const staged_file &file, const char *device, double rate, size_t taps)
{
	int ends[2];
	if (pipe(ends) != 0)
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
		plot_process(ends[0], file, device, rate, taps);
	}
	close(ends[0]);
	job.pid = pid;
	job.curves = ends[1];
	job.device = device;
	return 0;
}

namespace
{

int send(plot_job &job, std::span<const std::vector<double> *const> parts)
{
	uint64_t count = parts[0]->size();
	bool ok = write_all(job.curves, &count, sizeof count);
	for (const std::vector<double> *v : parts)
		ok = ok && write_all(job.curves, v->data(), v->size() * sizeof(double));
	return ok ? 0 : errno;
}

} // namespace

int send_plot_taps(plot_job &job, std::span<const double> taps, double rate)
{
	std::vector<double> x, y;
	tap_points(taps, rate, x, y);
	const std::vector<double> *parts[] = {&x, &y};
	return send(job, parts);
}

int send_plot_curves(plot_job &job, const response &fine)
{
	const std::vector<double> *parts[] = {&fine.freq, &fine.requested, &fine.achieved};
	int e = send(job, parts);
	close(job.curves);
	job.curves = -1;
	return e;
}

int end_plot(plot_job &job, staged_file &file)
{
	if (job.curves >= 0) {
		close(job.curves);
		job.curves = -1;
	}
	int status = 0;
	while (waitpid(job.pid, &status, 0) < 0)
		if (errno != EINTR) {
			std::fprintf(stderr, "firdesign: cannot draw %s: %s\n", file.path.c_str(),
			             std::strerror(errno));
			job.pid = -1;
			return EX_SOFTWARE;
		}
	job.pid = -1;
	const char *path = file.path == "-" ? "standard output" : file.path.c_str();
	if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) {
		std::fprintf(stderr, "firdesign: cannot write %s: %s\n", path,
		             std::strerror(EFBIG));
		return EX_IOERR;
	}
	if (WIFEXITED(status) && WEXITSTATUS(status) == EX_IOERR)
		return EX_IOERR; // the process said why
	if (WIFEXITED(status) && WEXITSTATUS(status) == EX_CANTCREAT) {
		std::fprintf(stderr,
		             "firdesign: cannot create %s: PLplot's %s driver is not installed "
		             "or does not start\n",
		             path, job.device);
		return EX_CANTCREAT;
	}
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		std::fprintf(stderr, "firdesign: cannot draw %s: the plot failed\n", path);
		return EX_SOFTWARE;
	}
	// PLplot does not report write errors: a short file is one.
	if (!whole(file.fd, job.device)) {
		std::fprintf(stderr, "firdesign: cannot write %s: the plot file is incomplete\n",
		             path);
		return EX_IOERR;
	}
	if (int e = finish(file)) {
		std::fprintf(stderr, "firdesign: cannot write %s: %s\n", path, std::strerror(e));
		return EX_IOERR;
	}
	return 0;
}
