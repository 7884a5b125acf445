// firdesign's output files: each is written to a temporary file in its
// destination folder and renamed into place only once the whole run has
// succeeded, so a failing run leaves no new file and never replaces or
// truncates an existing one. "-" stands for standard output, written at
// the same moment.
#pragma once

#include "response.h"

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

struct staged_file {
	std::string path; // where it goes; "-" for standard output
	std::string temp; // what is written now
	FILE *stream = nullptr;
	bool committed = false;
	int error = 0; // errno of the first failure

	staged_file() = default;
	staged_file(const staged_file &) = delete;
	staged_file &operator=(const staged_file &) = delete;
	~staged_file(); // removes the temporary file unless committed
};

// Creates the temporary file for path. 0 on success, else errno.
int stage(staged_file &file, const std::string &path);

// Closes the stream (if still open), checking that every byte reached the
// file. 0 on success, else errno.
int finish(staged_file &file);

// Renames the temporary file into place, or copies it to standard output.
// 0 on success, else errno.
int commit(staged_file &file);

// The extension of a path: the text after its last '.' in its last
// component, or "" when it has none.
std::string_view extension(std::string_view path);

// Tap files: "txt" (one %.17g a line), "f64", "f32" (raw little-endian
// IEEE), "wav" (mono 32-bit float at rate). Returns 0 or errno.
bool tap_format_known(std::string_view ext);
int write_taps(staged_file &file, std::string_view ext, std::span<const double> taps, int32_t rate);

// frequency_hz,requested_db,achieved_db and a row a grid point.
int write_response(staged_file &file, const response &r);

// The bytes as they are.
int write_text(staged_file &file, std::string_view text);
