#include "profile.h"

#include "layout.h"
#include "requests.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

namespace
{

// The first word of s, taken off its front.
std::string_view word(std::string_view &s)
{
	size_t end = s.find_first_of(" \t");
	std::string_view w = s.substr(0, end);
	s = end == std::string_view::npos ? std::string_view{} : trimmed(s.substr(end));
	return w;
}

bool number(std::string_view text, long long high, int32_t &value)
{
	long long v = 0;
	if (!whole_number(text, 0, high, v))
		return false;
	value = static_cast<int32_t>(v);
	return true;
}

} // namespace

bool parse_profile(std::string_view text, profile &p, import_error &err)
{
	p = profile{};
	std::set<int32_t> seen;
	std::map<std::string, int32_t> files; // plain_path of each file, by channel
	bool keyword_seen = false;
	int n = 0;
	while (!text.empty()) {
		std::string_view raw = next_line(text);
		n++;
		std::string_view line = trimmed(raw);
		if (line.empty())
			continue;
		if (line[0] == '#') {
			if (!keyword_seen)
				p.heading.emplace_back(line);
			continue;
		}
		keyword_seen = true;
		std::string_view rest = line;
		std::string_view key = word(rest);
		if (key == "device") {
			if (rest.empty())
				return failed_at(err, n,
				                 "device needs the path of the control device");
			if (!p.device.empty())
				return failed_at(err, n, "device given twice");
			p.device = rest;
		} else if (key == "what") {
			if (find_target(rest) == nullptr)
				return failed_at(
				        err, n,
				        "what must be rx_dev, tx_dev, rx_loop or tx_loop, not '" +
				                std::string(rest) + "'");
			if (!p.what.empty())
				return failed_at(err, n, "what given twice");
			p.what = rest;
		} else if (key == "part") {
			if (!number(rest, INT32_MAX, p.part))
				return failed_at(err, n, "part must be a whole number, 0 or more");
			if (p.part_given)
				return failed_at(err, n, "part given twice");
			p.part_given = true;
		} else if (key == "channel") {
			profile_channel c;
			c.line = n;
			std::string_view digits = word(rest);
			if (!number(digits, profile_channel_limit - 1, c.channel))
				return failed_at(err, n,
				                 "channel needs a number from 0 to " +
				                         std::to_string(profile_channel_limit - 1) +
				                         " and a layout file");
			if (rest.empty())
				return failed_at(err, n,
				                 "channel " + std::to_string(c.channel) +
				                         " needs a layout file");
			if (!seen.insert(c.channel).second)
				return failed_at(err, n,
				                 "channel " + std::to_string(c.channel) +
				                         " given twice");
			c.file = rest;
			auto [other, fresh] = files.emplace(plain_path(c.file), c.channel);
			if (!fresh)
				return failed_at(err, n,
				                 "channel " + std::to_string(c.channel) + " uses " +
				                         c.file + ", which channel " +
				                         std::to_string(other->second) +
				                         " uses too");
			p.channels.push_back(std::move(c));
		} else if (key == "max-gain") {
			if (!decimal_number(rest, p.max_gain_db) || p.max_gain_db < 0)
				return failed_at(err, n,
				                 "max-gain must be a number of dB, 0 or more");
			if (!p.max_gain.empty())
				return failed_at(err, n, "max-gain given twice");
			p.max_gain = rest;
		} else if (key == "phase") {
			if (rest != "linear" && rest != "minimum")
				return failed_at(err, n,
				                 "phase must be linear or minimum, not '" +
				                         std::string(rest) + "'");
			if (!p.phase.empty())
				return failed_at(err, n, "phase given twice");
			p.phase = rest;
		} else {
			return failed_at(err, n, "unknown keyword '" + std::string(key) + "'");
		}
	}
	p.lines = n;
	return true;
}

std::string profile_text(const profile &p)
{
	std::string out;
	for (const std::string &h : p.heading)
		out += h + "\n";
	if (!p.device.empty())
		out += "device " + p.device + "\n";
	if (!p.what.empty())
		out += "what " + p.what + "\n";
	if (p.part_given)
		out += "part " + std::to_string(p.part) + "\n";
	for (const profile_channel &c : p.channels)
		out += "channel " + std::to_string(c.channel) + " " + c.file + "\n";
	if (!p.max_gain.empty())
		out += "max-gain " + p.max_gain + "\n";
	if (!p.phase.empty())
		out += "phase " + p.phase + "\n";
	return out;
}

std::string plain_path(std::string_view path)
{
	std::string out = path.starts_with('/') ? "/" : "";
	while (!path.empty()) {
		size_t slash = path.find('/');
		std::string_view part = path.substr(0, slash);
		path = slash == std::string_view::npos ? std::string_view{}
		                                       : path.substr(slash + 1);
		if (part.empty() || part == ".")
			continue;
		if (!out.empty() && out.back() != '/')
			out += '/';
		out += part;
	}
	return out;
}

std::string profile_real_path(const std::string &profile_path)
{
	if (char *real = realpath(profile_path.c_str(), nullptr)) {
		std::string out = real;
		std::free(real);
		return out;
	}
	char *real = realpath(folder_of(profile_path).c_str(), nullptr);
	if (real == nullptr)
		return profile_path;
	std::string folder = real;
	std::free(real);
	return (folder == "/" ? "" : folder) + "/" + base_of(profile_path);
}

file_read read_text_file(const std::string &path, size_t limit, std::string &text, std::string &why)
{
	int fd;
	do
		fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	while (fd < 0 && errno == EINTR);
	if (fd < 0) {
		int e = errno;
		why = std::strerror(e);
		return e == ENOENT ? file_read::missing : file_read::error;
	}
	std::vector<char> bytes;
	read_result r = read_layout(fd, bytes, limit);
	close(fd);
	switch (r) {
	case read_result::ok: break;
	case read_result::too_much: why = "Too much input data"; return file_read::too_much;
	case read_result::error: why = std::strerror(errno); return file_read::error;
	}
	std::string_view view(bytes.data(), bytes.size() - 1); // without the closing NUL
	if (!plain_text(view, why))
		return file_read::error;
	text.assign(view);
	return file_read::ok;
}

bool read_profile_layouts(const std::string &real_profile, const profile &p,
                          std::map<int32_t, std::string> &layouts, import_error &err)
{
	layouts.clear();
	for (const profile_channel &c : p.channels) {
		std::string text, why;
		// A byte-order mark does not count toward the layout's limit.
		if (read_text_file(beside(real_profile, c.file), max_layout + 3, text, why) !=
		    file_read::ok)
			return failed_at(err, c.line, c.file + ": " + why);
		text = text.c_str(); // a NUL ends the layout
		if (text.size() > max_layout)
			return failed_at(err, c.line, c.file + ": Too much input data");
		layouts[c.channel] = std::move(text);
	}
	return true;
}
