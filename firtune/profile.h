// Profiles: which layout goes to which channel of which part, in a text
// file a person can read and edit and a boot script can apply.
//
//   # living room
//   device /dev/pcmx.ctl
//   what tx_dev
//   part 0
//   channel 0 left.eq
//   channel 1 right.eq
//   max-gain 12
//   phase minimum
//
// One keyword a line, '#' comments; layout paths relative to the folder of
// the profile's real path (a profile reached through a symbolic link finds
// its layouts beside the file the link leads to).
#pragma once

#include "path.h"
#include "text.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// Largest profile read, in bytes.
inline constexpr size_t largest_profile = 1 << 20;

// Highest channel number a profile may name, plus one.
inline constexpr int32_t profile_channel_limit = 1024;

struct profile_channel {
	int32_t channel = 0;
	std::string file; // as written in the profile
	int line = 0;
};

struct profile {
	std::vector<std::string> heading; // comment lines before the first keyword
	std::string device;               // empty when not given
	std::string what;                 // empty when not given
	int32_t part = 0;
	bool part_given = false;
	std::vector<profile_channel> channels; // in the order given
	std::string max_gain;                  // as written; empty when not given
	double max_gain_db = 0;                // its value in dB, 0 or more
	std::string phase;                     // "linear" or "minimum"; empty when not given
	int lines = 0;                         // lines read
};

// Reads a profile. false with err.line and err.what set on an unknown
// keyword, a keyword without its value, an unknown target, a bad part,
// channel number, gain or phase, a channel given twice, or two channels
// naming one file.
bool parse_profile(std::string_view text, profile &p, import_error &err);

// The profile as text, in the order parse_profile reads it.
std::string profile_text(const profile &p);

// path without "." components and doubled slashes, so that names of one
// file written two ways compare equal.
std::string plain_path(std::string_view path);

// The profile's real path, where its layouts are found beside it (see
// beside in path.h): links followed; for a profile that does not exist
// yet, the real path of its folder and its name; path as it is when
// neither can be resolved.
std::string profile_real_path(const std::string &profile_path);

// What reading a text file gave.
enum class file_read { ok, missing, too_much, error };

// The whole of path, up to limit bytes, with a UTF-8 byte-order mark
// dropped. why holds the reason on failure (strerror or the text check).
file_read read_text_file(const std::string &path, size_t limit, std::string &text,
                         std::string &why);

// Reads every channel's layout file (beside real_profile, the profile's
// real path) into layouts (keyed by channel), each
// cut at its first NUL as firload reads it. false with err set
// ("PROFILE:LINE: LAYOUT: why") when one cannot be read.
bool read_profile_layouts(const std::string &real_profile, const profile &p,
                          std::map<int32_t, std::string> &layouts, import_error &err);
