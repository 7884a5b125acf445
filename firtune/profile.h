// Profiles: which layout goes to which channel of which part, in a text
// file a person can read and edit and a boot script can apply.
//
//   # living room
//   device /dev/pcmx.ctl
//   what tx_dev
//   part 0
//   channel 0 left.eq
//   channel 1 right.eq
//
// One keyword a line, '#' comments; layout paths relative to the profile's
// folder.
#pragma once

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
	int lines = 0;                         // lines read
};

// Reads a profile. false with err.line and err.what set on an unknown
// keyword, a keyword without its value, an unknown target, a bad part or
// channel number or a channel given twice.
bool parse_profile(std::string_view text, profile &p, import_error &err);

// The profile as text, in the order parse_profile reads it.
std::string profile_text(const profile &p);

// The folder of path, ending in '/', or "" for a bare name.
std::string folder_of(const std::string &path);

// file as named in a profile at profile_path: absolute as it is, else
// relative to the profile's folder.
std::string beside(const std::string &profile_path, const std::string &file);

// What reading a text file gave.
enum class file_read { ok, missing, too_much, error };

// The whole of path, up to limit bytes, with a UTF-8 byte-order mark
// dropped. why holds the reason on failure (strerror or the text check).
file_read read_text_file(const std::string &path, size_t limit, std::string &text,
                         std::string &why);

// Reads every channel's layout file into layouts (keyed by channel), each
// cut at its first NUL as firload reads it. false with err set
// ("PROFILE:LINE: LAYOUT: why") when one cannot be read.
bool read_profile_layouts(const std::string &profile_path, const profile &p,
                          std::map<int32_t, std::string> &layouts, import_error &err);
