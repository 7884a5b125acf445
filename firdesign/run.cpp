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

} // namespace

int run_design(const design_settings &s)
{
	// Declared first, ended last: the guard outlives every temporary file.
	interrupt_guard signals;
	run_outputs outs;
	if (int status = resolve_outputs(outs, s))
		return status;
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

	if (int status = stage_outputs(outs, signals, rate, static_cast<size_t>(length)))
		return status;
	eq_state state;
	if (eq_init(state, rate, length) == 0)
		return fail(EX_SOFTWARE, "Cannot set up filter designer\n");
	eq_guard guard{state};
	eq_output out{printer{s.report ? stdout : nullptr, ""}, printer{stderr, "firdesign: "}};
	if (eq_design(state, text.c_str(), out) == 0)
		return EX_DATAERR;
	if (int status = draw_taps(outs, state))
		return status;
	response r = design_response_in_two(state);

	if (int status = write_outputs(outs, state, r, text))
		return status;

	std::string said;
	if (!s.quiet && !s.report && !to_standard_output(outs))
		said = summary_text(
		        summarize(state, r, text.c_str(), format != input_format::layout));

	if (int status = commit_outputs(outs, signals, said))
		return status;
	return 0;
}
