// The EQ layout and the target spectrum it describes.
//
// Layout: an optional header line whose first four characters are "norm" in
// any case (it asks for normalized coefficients), then "<freq> <gain>" pairs
// as scanf's %lf reads them, frequencies in Hz not decreasing, gains as
// linear amplitude factors. The gain is flat below the first breakpoint,
// linear between breakpoints and flat above the last one.
#pragma once

#include <cstdint>

// Fills spectrum (`length` doubles, FFTW half-complex order) with the gains
// the layout asks for at bins 0 to length/2; all imaginary parts are 0.
// Sets *normalize from the header before any breakpoint is read. Breakpoints
// are read only while bins still need them. Prints the layout heading and,
// on failure, the parse message. Returns 1 on success, 0 on failure.
// Requires rate > 0 (Hz) and length >= 1.
int eq_build_spectrum(const char *text, double rate, int32_t length, double *spectrum,
                      int32_t *normalize);
