// The plot room's drawing, done in the plot's process: the page set up in
// PLplot, the title and panels drawn, a raster encoded as PNG. Only
// plot.cpp uses it.
#pragma once

#include "plot.h"

#include <cstdint>
#include <cstdio>
#include <span>

inline constexpr uint32_t page_width = 1200, page_height = 900;

// Whether PLplot lists the device among its installed drivers.
bool driver_installed(const char *device);

// The page's colours (paper, ink, grid); before plinit.
void page_colours();

// The title above the main panel; after plinit.
void draw_title(const plot_page &page);

// Panel index of the page (0 the main one).
void draw_panel(const plot_page &page, int index, const plot_panel &panel);

// The raster (8-bit RGB, page_width by page_height, rows from the top) as
// a PNG: compression level 1, every row filtered with Up. libpng's errors
// end the process after "PROGRAM: cannot write PATH: why".
void write_png(FILE *out, std::span<unsigned char> rgb, const char *program, const char *path);
