#include "plot.h"

#include "draw.h"

#include <fcntl.h>
#include <plplot.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace
{

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

bool write_all(int fd, const void *from, size_t size)
{
	const auto *at = static_cast<const char *>(from);
	return all_bytes(size, [&](size_t done) { return write(fd, at + done, size - done); });
}

// What has come down the pipe. A thread of the plot's process reads it as
// it arrives, while PLplot starts up and draws, so the command never waits
// for the plot: a panel is larger than a pipe holds. Without that thread,
// read_all reads the pipe itself.
struct inbox {
	int pipe = -1;
	bool threaded = false;
	std::mutex lock;
	std::condition_variable arrived, used;
	std::vector<char> bytes; // read, from `taken` on not yet used
	size_t taken = 0;
	size_t wanted = 0;  // what read_all waits for
	bool ended = false; // the pipe's end, or an error reading it
};

// At most this much read and not yet used (or what read_all waits for,
// if more): the reading thread waits beyond it, so that a fault never
// makes it allocate without end.
constexpr size_t most_waiting = size_t{64} << 20;

// One read of the pipe into the inbox; false once the pipe has ended.
bool receive(inbox &in)
{
	char chunk[1 << 16];
	ssize_t n = 0;
	do
		n = read(in.pipe, chunk, sizeof chunk);
	while (n < 0 && errno == EINTR);
	std::unique_lock<std::mutex> hold(in.lock);
	if (in.threaded)
		in.used.wait(hold, [&] {
			return in.bytes.size() - in.taken < std::max(most_waiting, in.wanted);
		});
	if (n <= 0) {
		in.ended = true;
	} else {
		if (in.taken == in.bytes.size()) {
			in.bytes.clear();
			in.taken = 0;
		}
		in.bytes.insert(in.bytes.end(), chunk, chunk + n);
	}
	in.arrived.notify_one();
	return !in.ended;
}

void *fill(void *in)
{
	while (receive(*static_cast<inbox *>(in)))
		;
	return nullptr;
}

// The next size bytes that came, waiting for them; false when the pipe
// ended first.
bool read_all(inbox &in, void *to, size_t size)
{
	auto ready = [&] { return in.ended || in.bytes.size() - in.taken >= size; };
	if (!in.threaded)
		while (!ready())
			receive(in);
	std::unique_lock<std::mutex> hold(in.lock);
	in.wanted = size;
	in.used.notify_one();
	in.arrived.wait(hold, ready);
	in.wanted = 0;
	if (in.bytes.size() - in.taken < size)
		return false;
	std::memcpy(to, in.bytes.data() + in.taken, size);
	in.taken += size;
	in.used.notify_one();
	return true;
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

bool read_text(inbox &in, std::string &text)
{
	uint64_t n = 0;
	if (!read_all(in, &n, sizeof n) || n > longest_text)
		return false;
	text.resize(n);
	return read_all(in, text.data(), n);
}

bool read_doubles(inbox &in, std::vector<double> &v, uint64_t n)
{
	v.resize(n);
	return read_all(in, v.data(), n * sizeof(double));
}

bool read_panel(inbox &in, int &index, plot_panel &p)
{
	panel_head h{};
	if (!read_all(in, &h, sizeof h) || h.curves > plot_most_curves)
		return false;
	index = h.index;
	p.axis = static_cast<plot_axis>(h.axis);
	p.scale = static_cast<plot_scale>(h.scale);
	p.legend = h.legend != 0;
	p.x_from = h.x_from;
	p.x_to = h.x_to;
	if (!read_text(in, p.x_label) || !read_text(in, p.y_label))
		return false;
	p.curves.resize(h.curves);
	for (plot_curve &c : p.curves) {
		curve_head ch{};
		if (!read_text(in, c.label) || !read_all(in, &ch, sizeof ch) ||
		    ch.points > most_points || !read_doubles(in, c.x, ch.points) ||
		    !read_doubles(in, c.y, ch.points))
			return false;
		c.style = {ch.red, ch.green, ch.blue, ch.width, ch.dash};
	}
	return true;
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
	// The process ends with _exit, the reading thread with it.
	inbox in;
	in.pipe = pipe;
	in.threaded = true; // before the thread reads it
	pthread_t reader;
	if (pthread_create(&reader, nullptr, fill, &in) == 0)
		pthread_detach(reader);
	else
		in.threaded = false;

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
		picture.assign(size_t{page_width} * page_height * 3, 255);
		plsmem(page_width, page_height, picture.data());
	} else {
		plsfile(out);
		plspage(0, 0, page_width, page_height, 0, 0);
	}
	page_colours();
	plinit();
	plsexit(plot_failed);

	// The title now: it loads the fonts while the command computes.
	draw_title(page);

	bool drawn[3] = {};
	for (int left = page.extra + 1; left > 0; left--) {
		int index = -1;
		plot_panel panel;
		if (!read_panel(in, index, panel) || index < 0 || index > page.extra ||
		    drawn[index])
			_exit(EX_SOFTWARE); // the command gave up: no word, no plot
		drawn[index] = true;
		draw_panel(page, index, panel);
	}
	plend();
	if (png) {
		errno = 0;
		write_png(out, picture, page.program, shown(file));
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
	job.extra = page.extra;
	job.panels = page.extra + 1;
	return 0;
}

int plot_send(plot_job &job, int index, const plot_panel &panel)
{
	if (job.pipe < 0)
		return EPIPE;
	if (index < 0 || index > job.extra || panel.curves.size() > plot_most_curves)
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
