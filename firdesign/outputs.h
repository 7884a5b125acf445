// firdesign's output formats, each written into a staged file.
#pragma once

#include "response.h"
#include "staged.h"

#include <cstdint>
#include <span>
#include <string_view>

// Tap files: "txt" (one %.17g a line), "f64", "f32" (raw little-endian
// IEEE), "wav" (mono 32-bit float at rate). Returns 0 or errno.
bool tap_format_known(std::string_view ext);
int write_taps(staged_file &file, std::string_view ext, std::span<const double> taps, int32_t rate);

// frequency_hz,requested_db,achieved_db and a row a grid point.
int write_response(staged_file &file, const response &r);
