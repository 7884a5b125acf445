// Output files written all or nothing: each is written to a temporary file
// in its destination folder and renamed into place only once the whole run
// has succeeded, so a failing run leaves no new file and never replaces or
// truncates an existing one. "-" stands for standard output, written at
// the same moment.
#pragma once

#include <cstdio>
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

// The bytes as they are, then finish.
int write_text(staged_file &file, std::string_view text);
