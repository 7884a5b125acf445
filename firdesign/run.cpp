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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace
{

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

// read_input, then the text as the readers take it: a UTF-8 byte-order
// mark dropped, UTF-16 and UTF-32 refused. name is the source's name for
// the message.
int read_text(const char *path, const char *name, std::string &text)
{
	std::string raw;
	if (int status = read_input(path, raw))
		return status;
	std::string_view view = raw;
	std::string why;
	if (!plain_text(view, why))
		return fail(EX_DATAERR, "%s: %s\n", name, why.c_str());
	text.assign(view);
	return 0;
}

// The import's notes of ignored lines ("line N: why") as messages that
// name the file ("firdesign: FILE:N: why"); the other notes are left to
// the summary.
void print_ignored(const std::vector<std::string> &notes, const char *name)
{
	for (const std::string &note : notes) {
		int line = 0, used = 0;
		if (std::sscanf(note.c_str(), "line %d: %n", &line, &used) == 1 && used > 0)
			std::fprintf(stderr, "firdesign: %s:%d: %s\n", name, line,
			             note.c_str() + used);
	}
}

// The layout with every gain times 10^(db/20); false, with a message, when
// it grows beyond what firload reads.
int shift_layout(std::string &text, double db)
{
	std::string shifted = scale_layout(text.c_str(), std::pow(10.0, db / 20));
	if (shifted.size() > max_layout)
		return fail(EX_DATAERR, "the layout shifted by --gain is longer than %zu bytes\n",
		            max_layout);
	text = std::move(shifted);
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
	if (from_stdin && !s.quiet && isatty(STDIN_FILENO) == 1)
		std::fputs("firdesign: reading the layout from standard input until end-of-file\n",
		           stderr);
	std::string source;
	if (int status = read_text(s.input, name, source))
		return status;
	input_format format = s.format_given ? s.format : detect_format(source);
	if (s.correction_given && format != input_format::rew) {
		std::fprintf(stderr, "firdesign: %s\n", correction_needs_rew);
		print_design_usage(stderr, false);
		return EX_USAGE;
	}
	std::string text;
	import_report imported;
	if (format == input_format::layout) {
		if (source.size() > max_layout)
			return fail(EX_DATAERR, "Too much input data\n");
		text = source.c_str(); // a NUL ends the layout
	} else {
		correction_options options = s.correction;
		if (s.target_file != nullptr) {
			if (int status = read_text(s.target_file, s.target_file, options.target))
				return status;
			options.target_name = s.target_file;
		}
		import_error err;
		if (!import_layout(source, format, rate, options, text, err, &imported)) {
			const char *file = err.file.empty() ? name : err.file.c_str();
			if (err.line > 0)
				return fail(EX_DATAERR, "%s:%d: %s\n", file, err.line,
				            err.what.c_str());
			return fail(EX_DATAERR, "%s: %s\n", file, err.what.c_str());
		}
	}
	if (s.gain_given && !s.gain_auto)
		if (int status = shift_layout(text, s.gain_db))
			return status;

	if (int status = stage_outputs(outs, signals, rate, static_cast<size_t>(length), s.phase))
		return status;
	eq_state state;
	if (eq_init(state, rate, length) == 0)
		return fail(EX_SOFTWARE, "Cannot set up filter designer\n");
	eq_guard guard{state};
	state.phase = s.phase;
	// A measurement's deviation counts within its correction range.
	band counted = format == input_format::rew ? band{s.correction.low, s.correction.high}
	                                           : audio_band(state.rate);
	double shift = s.gain_db;
	if (s.gain_auto) {
		// Designed once to find the true peak, then again shifted by it.
		eq_output silent{};
		if (eq_design(state, text.c_str(), silent) != 0) {
			double peak = figures_of(state, response_at(state, {}), counted).top.db;
			if (std::isfinite(peak)) {
				shift = -peak;
				if (int status = shift_layout(text, shift))
					return status;
			}
		}
	}
	memory_text errors;
	int error_line = 0;
	eq_output out{printer{s.report ? stdout : nullptr, ""},
	              printer{errors.stream != nullptr ? errors.stream : stderr,
	                      errors.stream != nullptr ? "" : "firdesign: "},
	              &error_line};
	if (eq_design(state, text.c_str(), out) == 0) {
		std::string why = errors.text();
		while (!why.empty() && why.back() == '\n')
			why.pop_back();
		if (why.empty()) // printed straight to standard error already
			return EX_DATAERR;
		if (error_line > 0 && format == input_format::layout) {
			fail(EX_DATAERR, "%s:%d: %s\n", name, error_line, why.c_str());
			if (!s.format_given)
				fail(EX_DATAERR,
				     "%s: not recognised as Equalizer APO or REW either; read as a "
				     "layout (pairs of Hz and linear gain) it does not parse\n",
				     name);
		} else {
			fail(EX_DATAERR, "%s\n", why.c_str());
		}
		return EX_DATAERR;
	}
	if (int status = draw_taps(outs, state))
		return status;
	response r = design_response(state);

	if (int status = write_outputs(outs, state, r, text))
		return status;

	std::string said;
	if (!s.quiet && !s.report && !to_standard_output(outs)) {
		design_summary summary =
		        summarize(state, r, text.c_str(), format != input_format::layout, counted);
		summary.notes = imported.notes;
		summary.shifted = s.gain_given;
		summary.gain_db = shift;
		said = summary_text(summary);
	} else if (!s.quiet) {
		// No summary to carry them: what was passed over, and gains that
		// mute or invert, go to standard error.
		print_ignored(imported.notes, name);
		for (const std::string &w : gain_warnings(text.c_str()))
			std::fprintf(stderr, "firdesign: warning: %s\n", w.c_str());
	}

	if (int status = commit_outputs(outs, signals, said))
		return status;
	return 0;
}
