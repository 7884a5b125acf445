#include "fixed.h"

#include <charconv>
#include <cmath>
#include <cstring>

char *format_fixed(char *at, double value, int width, int precision)
{
	char text[fixed_max];
	char *end;
	if (std::isnan(value)) {
		// The C library shows the sign of a NaN too.
		end = put(text, std::signbit(value) ? "-nan" : "nan");
	} else {
		end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed,
		                    precision)
		              .ptr;
	}
	auto length = static_cast<int>(end - text);
	for (int pad = width - length; pad > 0; pad--)
		*at++ = ' ';
	std::memcpy(at, text, static_cast<size_t>(length));
	return at + length;
}
