// diag: the one printer of the tools' own text, silenced by the quiet flag,
// and the printer record that says where a piece of text goes.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

// Set by -q; read by diag. The only process-wide state of the tools.
extern bool quiet;

// printf-style output to the stdio stream stderr, or nothing while quiet is
// set. Adds no prefix and no newline: every message carries its own "\n".
void diag(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A destination for text: a stdio stream, or nowhere when stream is null;
// prefix goes before every message printed with print().
struct printer {
	FILE *stream = nullptr;
	const char *prefix = "";
};

// Where diag prints right now: stderr, or nowhere while quiet is set.
printer diag_printer();

// prefix, then the formatted text, to p's stream; nothing when it has none.
void print(const printer &p, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The printf-style text as a string, whatever its length.
std::string formatted(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string vformatted(const char *format, va_list ap) __attribute__((format(printf, 1, 0)));

// "PROGRAM: " and the formatted text to stderr, whatever the quiet flag
// says (a command's refusal is never silenced), each line as visible()
// shows it (a message may quote a file's bytes); returns status, so a
// command's fail() can end with it.
int fail_with(const char *program, int status, const char *format, va_list ap)
        __attribute__((format(printf, 3, 0)));

// The bytes as they are, without prefix.
void print_bytes(const printer &p, const char *data, size_t size);

// A stream whose text is kept in memory, to be printed or sent elsewhere
// once a step is over. stream is null when memory could not be had.
struct memory_text {
	char *data = nullptr;
	size_t size = 0;
	FILE *stream = nullptr;
	memory_text();
	memory_text(const memory_text &) = delete;
	memory_text &operator=(const memory_text &) = delete;
	~memory_text();
	// Everything written so far; "" when the stream is null or failed.
	std::string text();
};

// text with its control characters escaped as vis(3) shows them ("\033",
// "\a", "\n") and each backslash doubled, for a message that quotes a
// file's bytes to a terminal or the system log.
std::string visible(std::string_view text);
