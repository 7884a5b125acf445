// Fixed-point formatting without printf, byte for byte what printf's
// "%W.Plf" prints in the C locale, and a buffer that hands its text to a
// printer in large writes.
#pragma once

#include "diag.h"

#include <cstddef>
#include <string_view>

// Longest text format_fixed writes with a precision up to 17: the sign,
// 309 integer digits, the point and the decimals, with room to spare.
inline constexpr size_t fixed_max = 352;

// Writes value as "%<width>.<precision>lf" would (padded on the left with
// blanks to width; "inf", "-inf", "nan", "-nan" as the C library writes
// them) at `at`, which has room for max(width, fixed_max) bytes. Returns
// the end of what it wrote. precision is 0 to 17.
char *format_fixed(char *at, double value, int width, int precision);

// Text gathered here reaches the printer's stream in writes of up to
// `capacity` bytes, in order with whatever else is written to it, and not
// at all when the printer has no stream.
struct text_buffer {
	static constexpr size_t capacity = 1 << 16;

	explicit text_buffer(const printer &to) : out(to) {}
	text_buffer(const text_buffer &) = delete;
	text_buffer &operator=(const text_buffer &) = delete;
	~text_buffer() { flush(); }

	// Makes room for n more bytes and returns where they go.
	char *room(size_t n)
	{
		if (used + n > capacity)
			flush();
		return data + used;
	}
	void advance(char *end) { used = static_cast<size_t>(end - data); }
	void flush()
	{
		print_bytes(out, data, used);
		used = 0;
	}

	printer out;
	size_t used = 0;
	char data[capacity];
};

// Copies text to `at` and returns its end.
inline char *put(char *at, std::string_view text)
{
	for (char c : text)
		*at++ = c;
	return at;
}
