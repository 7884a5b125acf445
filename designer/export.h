// The bytes of a design's files, one writer each for every command that
// gives them out: tap files and the response table.
#pragma once

#include "response.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Tap files: "txt" (one %.17g a line), "f64", "f32" (raw little-endian
// IEEE), "wav" (mono 32-bit IEEE float at rate).
bool tap_format_known(std::string_view ext);
std::string tap_bytes(std::string_view ext, std::span<const double> taps, int32_t rate);

// frequency_hz,requested_db,achieved_db and a row a grid point.
std::string response_table(const response &r);
