// A PNG writer for the plot's pictures: 8-bit RGB, each row filtered with
// the Up filter (the first with Sub), compressed some rows at a time with
// deflate's fixed codes and a greedy matcher that looks for runs and for
// one earlier match.
// Pictures of mostly flat colour come out about twice the size a general
// encoder makes, in a fifth of its time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

// Writes a width by height picture (rgb: 3 bytes a pixel, rows from the
// top) to out. Returns false when rgb has not that size; write errors are
// left on the stream.
bool write_png(FILE *out, std::span<const unsigned char> rgb, uint32_t width, uint32_t height);
