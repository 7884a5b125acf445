#include "diag.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

bool quiet = false;

void diag(const char *format, ...)
{
	if (quiet)
		return;
	va_list ap;
	va_start(ap, format);
	std::vfprintf(stderr, format, ap);
	va_end(ap);
}

printer diag_printer()
{
	return printer{quiet ? nullptr : stderr, ""};
}

void print(const printer &p, const char *format, ...)
{
	if (p.stream == nullptr)
		return;
	std::fputs(p.prefix, p.stream);
	va_list ap;
	va_start(ap, format);
	std::vfprintf(p.stream, format, ap);
	va_end(ap);
}

void print_bytes(const printer &p, const char *data, size_t size)
{
	if (p.stream != nullptr)
		std::fwrite(data, 1, size, p.stream);
}

memory_text::memory_text() : stream(open_memstream(&data, &size)) {}

memory_text::~memory_text()
{
	if (stream != nullptr)
		std::fclose(stream);
	std::free(data);
}

std::string memory_text::text()
{
	if (stream == nullptr || std::fflush(stream) != 0)
		return {};
	return std::string(data, size);
}

std::string vformatted(const char *format, va_list ap)
{
	va_list again;
	va_copy(again, ap);
	int size = std::vsnprintf(nullptr, 0, format, again);
	va_end(again);
	std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
	if (size > 0)
		std::vsnprintf(text.data(), text.size() + 1, format, ap);
	return text;
}

std::string formatted(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	std::string text = vformatted(format, ap);
	va_end(ap);
	return text;
}

int fail_with(const char *program, int status, const char *format, va_list ap)
{
	// The message may quote a file's bytes: its lines are shown as
	// visible() shows them, so no control character reaches the terminal.
	std::string text = vformatted(format, ap), shown;
	for (size_t at = 0; at < text.size();) {
		size_t end = text.find('\n', at);
		size_t stop = end == std::string::npos ? text.size() : end;
		shown += visible(std::string_view(text).substr(at, stop - at));
		if (end == std::string::npos)
			break;
		shown += '\n';
		at = end + 1;
	}
	std::fprintf(stderr, "%s: %s", program, shown.c_str());
	return status;
}

std::string visible(std::string_view text)
{
	std::string out;
	for (char ch : text) {
		auto c = static_cast<unsigned char>(ch);
		const char *named = nullptr;
		switch (c) {
		case '\\': named = "\\\\"; break;
		case '\a': named = "\\a"; break;
		case '\b': named = "\\b"; break;
		case '\f': named = "\\f"; break;
		case '\n': named = "\\n"; break;
		case '\r': named = "\\r"; break;
		case '\v': named = "\\v"; break;
		}
		if (named != nullptr) {
			out += named;
		} else if ((c < 0x20 && c != '\t') || c == 0x7f) {
			char octal[5];
			std::snprintf(octal, sizeof octal, "\\%03o", c);
			out += octal;
		} else {
			out += ch;
		}
	}
	return out;
}
