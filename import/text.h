// What every reader of a source text shares: the line splitter, the check
// for text it cannot read, and the error record that says where a source
// is at fault.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Takes the next line off the front of text, without its ending: LF, CRLF
// and a lone CR each end a line.
inline std::string_view next_line(std::string_view &text)
{
	size_t end = text.find_first_of("\r\n");
	std::string_view line = text.substr(0, end);
	if (end == std::string_view::npos) {
		text = {};
	} else {
		size_t skip =
		        text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1;
		text.remove_prefix(end + skip);
	}
	return line;
}

// s without the blanks and tabs at either end.
inline std::string_view trimmed(std::string_view s)
{
	size_t first = s.find_first_not_of(" \t");
	if (first == std::string_view::npos)
		return {};
	size_t last = s.find_last_not_of(" \t");
	return s.substr(first, last - first + 1);
}

// Drops a leading UTF-8 byte-order mark from text. Returns false, with why
// set, for text in UTF-16 or UTF-32 (a byte-order mark of either, or NUL
// bytes among the first characters), which no reader here takes.
bool plain_text(std::string_view &text, std::string &why);

// What is wrong, where: printed as "FILE:LINE: what". file is empty for
// the source itself; line is 0 where no one line is at fault.
struct import_error {
	std::string file;
	int line = 0;
	std::string what;
};

// Sets err's line and what; false, for the reader to return.
inline bool failed_at(import_error &err, int line, std::string what)
{
	err.line = line;
	err.what = std::move(what);
	return false;
}

// A whole decimal number and nothing else: an optional sign, digits with at
// most one point, an optional exponent. inf, nan and hexadecimal are not
// numbers here.
bool decimal_number(std::string_view word, double &value);

// A whole decimal number from low to high and nothing else: digits after
// an optional '-', no blanks, no '+', no other base. Options, profiles and
// firtune's requests all read whole numbers with it.
bool whole_number(std::string_view word, long long low, long long high, long long &value);

// Runs of source lines an import passed over, with the reason. Lines that
// follow each other with the same reason (blank lines between them do not
// count) form one run.
struct ignored_run {
	int first = 0, last = 0;
	std::string why;
};

struct line_log {
	std::vector<ignored_run> ignored;
	int last_taken = 0; // the last line that was read as data
};

void log_ignored(line_log &log, int line, std::string why);
void log_taken(line_log &log, int line);

// "line N: ignored: why" or "lines N-M: ignored: why".
std::string ignored_note(const ignored_run &run);
