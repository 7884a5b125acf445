// diag: the one printer of the tool's own text, silenced by the quiet flag.
#pragma once

// Set by -q; read by diag. The only process-wide state of the tool.
extern bool quiet;

// printf-style output to the stdio stream stderr, or nothing while quiet is
// set. Adds no prefix and no newline: every message carries its own "\n".
void diag(const char *format, ...) __attribute__((format(printf, 1, 2)));
