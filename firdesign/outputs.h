// firdesign's output formats, each written into a staged file, and the
// outputs of a run as a whole.
#pragma once

#include "export.h"
#include "interrupt.h"
#include "options.h"
#include "picture.h"
#include "response.h"
#include "staged.h"

#include <cstdint>
#include <span>
#include <string_view>

// "firdesign: " and the message on standard error; returns status.
__attribute__((format(printf, 2, 3))) int fail(int status, const char *format, ...);

// Tap files in the formats of export.h. Returns 0 or errno.
int write_taps(staged_file &file, std::string_view ext, std::span<const double> taps, int32_t rate);

// frequency_hz,requested_db,achieved_db and a row a grid point; for minimum
// phase a fourth column, group_delay_ms.
int write_response(staged_file &file, const response &r);

// The files of a run, from the checks before anything is read to the
// commit after everything is written.
enum output_slot : size_t { slot_plot, slot_table, slot_taps, slot_layout, slot_count };

struct run_outputs {
	const char *paths[slot_count] = {}; // -P, -R, -T, -L; null when not asked for
	const char *options[slot_count] = {"-P", "-R", "-T", "-L"};
	staged_file files[slot_count];
	plot_job plot;
	bool quiet = false; // -q: no word of a file written in place
};

// Resolves every output and refuses, with the message printed, what cannot
// work: an output that cannot be created or is a directory (73), two
// outputs that name the same file, an output that is a source of the run,
// or --report with an output on standard output (64). Nothing is created.
// Returns 0 or the status.
int resolve_outputs(run_outputs &outs, const design_settings &s);

// Whether an output goes to standard output (the summary is then left out).
bool to_standard_output(const run_outputs &outs);

// Creates the temporary files and starts the plot's process (for phase
// minimum with a group delay panel), with the guard taking the signals
// from now on; says which files are written in
// place (their folder refused a temporary file). 0 or the status (73).
int stage_outputs(run_outputs &outs, interrupt_guard &guard, double rate, size_t length,
                  eq_phase phase);

// Sends the taps to the plot's process, so it draws them while the
// response is computed. 0 or the status after the message.
int draw_taps(run_outputs &outs, const eq_state &state);

// Writes every output of a design into its temporary file and waits for the
// plot. 0 or the status (70, 73, 74) after the message.
int write_outputs(run_outputs &outs, const eq_state &state, const response &r,
                  std::string_view layout);

// Commits them all or none (commit_streams, then commit_files). 0 or 74
// after the message.
int commit_outputs(run_outputs &outs, interrupt_guard &guard, std::string_view summary);
