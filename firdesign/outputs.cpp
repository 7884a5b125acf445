#include "outputs.h"

#include "diag.h"
#include "export.h"

#include <pthread.h>
#include <sysexits.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

int fail(int status, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	status = fail_with("firdesign", status, format, ap);
	va_end(ap);
	return status;
}

int write_taps(staged_file &file, std::string_view ext, std::span<const double> taps, int32_t rate)
{
	std::string bytes = tap_bytes(ext, taps, rate);
	std::fwrite(bytes.data(), 1, bytes.size(), file.stream);
	return finish(file);
}

int write_response(staged_file &file, const response &r)
{
	std::string table = response_table(r);
	std::fwrite(table.data(), 1, table.size(), file.stream);
	return finish(file);
}

namespace
{

// The same, then the usage: a usage error.
__attribute__((format(printf, 1, 2))) int refuse(const char *format, ...)
{
	std::fputs("firdesign: ", stderr);
	va_list ap;
	va_start(ap, format);
	std::vfprintf(stderr, format, ap);
	va_end(ap);
	print_design_usage(stderr, false);
	return EX_USAGE;
}

// How messages name an output.
const char *shown(const char *path)
{
	return std::strcmp(path, "-") == 0 ? "standard output" : path;
}

int written(const run_outputs &outs, size_t slot, int e)
{
	if (e != 0)
		return fail(EX_IOERR, "cannot write %s: %s\n", shown(outs.paths[slot]),
		            std::strerror(e));
	return 0;
}

} // namespace

int resolve_outputs(run_outputs &outs, const design_settings &s)
{
	const char *given[slot_count] = {s.plot, s.response, s.taps, s.layout};
	outs.quiet = s.quiet;
	for (size_t i = 0; i < slot_count; i++) {
		outs.paths[i] = given[i];
		if (given[i] != nullptr)
			if (int e = resolve(outs.files[i], given[i]))
				return fail(EX_CANTCREAT, "cannot create %s: %s\n", given[i],
				            std::strerror(e));
	}
	for (size_t i = 0; i < slot_count; i++) {
		if (given[i] == nullptr)
			continue;
		for (size_t j = i + 1; j < slot_count; j++)
			if (given[j] != nullptr && same_file(outs.files[i], outs.files[j]))
				return refuse("%s and %s name the same file\n", given[i], given[j]);
		// The source (null: standard input) and the target curve, if any.
		if (overwrites(outs.files[i], s.input))
			return refuse("%s would overwrite %s, a source of the run\n", given[i],
			              s.input == nullptr ? "standard input" : s.input);
		if (s.target_file != nullptr && overwrites(outs.files[i], s.target_file))
			return refuse("%s would overwrite %s, a source of the run\n", given[i],
			              s.target_file);
		if (s.report && outs.files[i].kind == output_kind::standard &&
		    outs.files[i].direct_fd == 1)
			return refuse("--report and an output on standard output do not go "
			              "together\n");
	}
	return 0;
}

bool to_standard_output(const run_outputs &outs)
{
	for (size_t i = 0; i < slot_count; i++)
		if (outs.paths[i] != nullptr && outs.files[i].kind == output_kind::standard &&
		    outs.files[i].direct_fd == 1)
			return true;
	return false;
}

int stage_outputs(run_outputs &outs, interrupt_guard &guard, double rate, size_t length,
                  eq_phase phase)
{
	hold_signals(guard);
	for (size_t i = 0; i < slot_count; i++) {
		if (outs.paths[i] == nullptr)
			continue;
		if (int e = stage_guarded(guard, outs.files[i], outs.paths[i]))
			return fail(EX_CANTCREAT, "cannot create %s: %s\n", shown(outs.paths[i]),
			            std::strerror(e));
		if (outs.files[i].kind == output_kind::in_place && !outs.quiet)
			fail(0,
			     "%s: its folder is not writable: the file will be written in place\n",
			     outs.paths[i]);
	}
	if (const char *path = outs.paths[slot_plot]) {
		bool standard = std::strcmp(path, "-") == 0;
		const char *device = plot_device(standard ? "svg" : extension(path));
		// Forked before the signal thread starts: the process has one
		// thread then.
		if (int e = plot_start(outs.plot, outs.files[slot_plot], device,
		                       design_page(rate, length, phase)))
			return fail(EX_OSERR, "cannot draw %s: %s\n", shown(path),
			            std::strerror(e));
		std::lock_guard<std::mutex> hold(guard.lock);
		guard.child = outs.plot.pid;
		// Dropped once the process has ended, before its ID is freed.
		outs.plot.forget = [&guard] {
			std::lock_guard<std::mutex> drop(guard.lock);
			guard.child = -1;
		};
	}
	if (int e = watch(guard))
		return fail(EX_OSERR, "cannot watch for signals: %s\n", std::strerror(e));
	return 0;
}

namespace
{

// A plot whose curves could not be sent: the process may have ended first,
// and says why.
int unsent(run_outputs &outs, int e)
{
	if (int status = plot_end(outs.plot, outs.files[slot_plot]))
		return status;
	return fail(EX_SOFTWARE, "cannot draw %s: %s\n", shown(outs.paths[slot_plot]),
	            std::strerror(e));
}

} // namespace

int draw_taps(run_outputs &outs, const eq_state &state)
{
	std::span<const double> taps(state.time, static_cast<size_t>(state.length));
	if (outs.paths[slot_plot] != nullptr)
		if (int e = plot_send(outs.plot, 1, taps_panel(taps, state.rate, state.phase)))
			return unsent(outs, e);
	return 0;
}

int write_outputs(run_outputs &outs, const eq_state &state, const response &r,
                  std::string_view layout)
{
	std::span<const double> taps(state.time, static_cast<size_t>(state.length));
	if (outs.paths[slot_plot] != nullptr) {
		if (int e = plot_send(outs.plot, 0,
		                      gain_panel(plot_response(state, r), state.rate)))
			return unsent(outs, e);
		if (state.phase == eq_phase::minimum)
			if (int e = plot_send(outs.plot, 2, delay_panel(r, state.rate)))
				return unsent(outs, e);
	}
	if (outs.paths[slot_table] != nullptr)
		if (int status =
		            written(outs, slot_table, write_response(outs.files[slot_table], r)))
			return status;
	if (const char *path = outs.paths[slot_taps]) {
		bool standard = std::strcmp(path, "-") == 0;
		if (int status = written(outs, slot_taps,
		                         write_taps(outs.files[slot_taps],
		                                    standard ? "txt" : extension(path), taps,
		                                    static_cast<int32_t>(state.rate))))
			return status;
	}
	if (outs.paths[slot_layout] != nullptr)
		if (int status =
		            written(outs, slot_layout, write_text(outs.files[slot_layout], layout)))
			return status;
	if (outs.paths[slot_plot] != nullptr)
		return plot_end(outs.plot, outs.files[slot_plot]);
	return 0;
}

int commit_outputs(run_outputs &outs, interrupt_guard &guard, std::string_view summary)
{
	std::vector<staged_file *> files;
	std::vector<const char *> paths;
	for (size_t i = 0; i < slot_count; i++)
		if (outs.paths[i] != nullptr) {
			files.push_back(&outs.files[i]);
			paths.push_back(outs.paths[i]);
		}
	size_t failed = 0;
	int e = commit_streams(files, summary, failed);
	if (e == 0) {
		// No signal cleans up halfway through the renames.
		std::lock_guard<std::mutex> hold(guard.lock);
		e = commit_files(files, failed);
	}
	if (e == 0)
		return 0;
	if (failed == files.size())
		return fail(EX_IOERR, "cannot write standard output: %s\n", std::strerror(e));
	return fail(EX_IOERR, "cannot write %s: %s\n", shown(paths[failed]), std::strerror(e));
}
