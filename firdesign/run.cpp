#include "run.h"

#include "device.h"
#include "eq.h"
#include "import.h"
#include "layout.h"
#include "outputs.h"
#include "plot.h"
#include "response.h"
#include "summary.h"

#include <fcntl.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

// "firdesign: " and the message; returns status.
__attribute__((format(printf, 2, 3))) int fail(int status, const char *format, ...)
{
	std::fputs("firdesign: ", stderr);
	va_list ap;
	va_start(ap, format);
	std::vfprintf(stderr, format, ap);
	va_end(ap);
	return status;
}

// Largest source read: measurements can be long, layouts are checked
// against their own limit afterwards.
constexpr size_t largest_source = 16 << 20;

// The whole of path (standard input for null or "-") into text.
int read_input(const char *path, std::string &text)
{
	bool from_stdin = path == nullptr || std::strcmp(path, "-") == 0;
	unique_fd own(from_stdin ? -1 : open(path, O_RDONLY));
	if (!from_stdin && own.get() < 0)
		return fail(EX_NOINPUT, "cannot open %s: %s\n", path, std::strerror(errno));
	std::vector<char> bytes;
	switch (read_layout(from_stdin ? 0 : own.get(), bytes, largest_source)) {
	case read_result::ok: break;
	case read_result::too_much: return fail(EX_DATAERR, "Too much input data\n");
	case read_result::error: return fail(EX_NOINPUT, "Cannot read EQ layout\n");
	}
	text.assign(bytes.data(), bytes.size() - 1); // without the closing NUL
	return 0;
}

// One output file: its path, its staging, and what to report on failure.
struct output {
	const char *path;
	staged_file file;
};

int create(output &o)
{
	if (int e = stage(o.file, o.path))
		return fail(EX_CANTCREAT, "cannot create %s: %s\n", o.path, std::strerror(e));
	return 0;
}

int written(output &o, int e)
{
	if (e != 0)
		return fail(EX_IOERR, "cannot write %s: %s\n", o.path, std::strerror(e));
	return 0;
}

} // namespace

int run_design(const design_settings &s)
{
	int32_t rate = s.rate, length = s.length;
	if (s.device != nullptr) {
		fir_record fir{};
		fir.part = s.part;
		unique_fd device;
		if (const char *failed = device_query(s.device, *s.target, device, rate, fir))
			return fail(EX_SOFTWARE, "%s", failed);
		device.reset();
		length = fir.length;
		if (const char *invalid = check_rate_length(rate, length))
			return fail(EX_SOFTWARE, "%s", invalid);
	}

	bool from_stdin = s.input == nullptr || std::strcmp(s.input, "-") == 0;
	const char *name = from_stdin ? "standard input" : s.input;
	std::string source;
	if (int status = read_input(s.input, source))
		return status;
	input_format format = s.format_given ? s.format : detect_format(source);
	if (s.correction_given && format != input_format::rew) {
		std::fprintf(stderr, "firdesign: %s\n", correction_needs_rew);
		print_design_usage(stderr, false);
		return EX_USAGE;
	}
	std::string text;
	if (format == input_format::layout) {
		if (source.size() > max_layout)
			return fail(EX_DATAERR, "Too much input data\n");
		text = source.c_str(); // a NUL ends the layout
	} else {
		correction_options options = s.correction;
		if (s.target_file != nullptr) {
			if (int status = read_input(s.target_file, options.target))
				return status;
			options.target_name = s.target_file;
		}
		import_error err;
		if (!import_layout(source, format, rate, options, text, err)) {
			const char *file = err.file.empty() ? name : err.file.c_str();
			if (err.line > 0)
				return fail(EX_DATAERR, "%s:%d: %s\n", file, err.line,
				            err.what.c_str());
			return fail(EX_DATAERR, "%s: %s\n", file, err.what.c_str());
		}
	}

	eq_state state;
	if (eq_init(state, rate, length) == 0)
		return fail(EX_SOFTWARE, "Cannot set up filter designer\n");
	eq_guard guard{state};
	eq_output out{printer{s.report ? stdout : nullptr, ""}, printer{stderr, "firdesign: "}};
	if (eq_design(state, text.c_str(), out) == 0)
		return EX_DATAERR;
	std::span<const double> taps(state.time, static_cast<size_t>(length));
	response r = design_response(state);

	output plot{s.plot, {}}, table{s.response, {}}, tapfile{s.taps, {}}, layout{s.layout, {}};
	output *all[] = {&plot, &table, &tapfile, &layout};
	for (output *o : all)
		if (o->path != nullptr)
			if (int status = create(*o))
				return status;

	if (s.plot != nullptr) {
		finish(plot.file);
		bool to_stdout = std::strcmp(s.plot, "-") == 0;
		const char *device = plot_device(to_stdout ? "svg" : extension(s.plot));
		if (int status =
		            written(plot, draw_plot(plot.file.temp, device, plot_response(state, r),
		                                    taps, state.rate)))
			return status;
	}
	if (s.response != nullptr)
		if (int status = written(table, write_response(table.file, r)))
			return status;
	if (s.taps != nullptr) {
		bool to_stdout = std::strcmp(s.taps, "-") == 0;
		if (int status = written(tapfile, write_taps(tapfile.file,
		                                             to_stdout ? "txt" : extension(s.taps),
		                                             taps, rate)))
			return status;
	}
	if (s.layout != nullptr)
		if (int status = written(layout, write_text(layout.file, text)))
			return status;

	bool any_stdout = false;
	for (output *o : all)
		any_stdout = any_stdout || (o->path != nullptr && std::strcmp(o->path, "-") == 0);
	std::string said;
	if (!s.quiet && !s.report && !any_stdout)
		said = summary_text(
		        summarize(state, r, text.c_str(), format != input_format::layout));

	for (output *o : all)
		if (o->path != nullptr)
			if (int e = commit(o->file))
				return fail(EX_IOERR, "cannot write %s: %s\n", o->path,
				            std::strerror(e));
	std::fputs(said.c_str(), stdout);
	if (std::fflush(stdout) != 0)
		return fail(EX_IOERR, "cannot write standard output: %s\n", std::strerror(errno));
	return 0;
}
