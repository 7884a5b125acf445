// What every reader of a source text shares: the line splitter, the check
// for text it cannot read, and the error record that says where a source
// is at fault.
#pragma once

#include <string>
#include <string_view>

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
