#include "text.h"

#include <algorithm>

bool plain_text(std::string_view &text, std::string &why)
{
	if (text.starts_with("\xef\xbb\xbf"))
		text.remove_prefix(3);
	bool wide_mark = text.starts_with("\xff\xfe") || text.starts_with("\xfe\xff") ||
	                 text.starts_with(std::string_view("\0\0\xfe\xff", 4));
	// Text of ASCII characters in UTF-16 or UTF-32 has a NUL in every
	// second or fourth byte; a layout ends at its first NUL instead, so
	// only a NUL among the very first bytes counts.
	std::string_view head = text.substr(0, 4);
	bool early_nul =
	        head.size() >= 2 && std::find(head.begin(), head.end(), '\0') != head.end();
	if (wide_mark || early_nul) {
		why = "the text is in UTF-16 or UTF-32; save it as UTF-8 or ASCII";
		return false;
	}
	return true;
}
