#include "session.h"

#include "device.h"
#include "layout.h"
#include "staged.h"

#include <sysexits.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace
{

// "<stem>.ch<N>.eq" for the profile at path.
std::string channel_file(const std::string &profile_path, int32_t channel)
{
	size_t slash = profile_path.rfind('/');
	std::string base =
	        slash == std::string::npos ? profile_path : profile_path.substr(slash + 1);
	size_t dot = base.rfind('.');
	if (dot != std::string::npos && dot > 0)
		base.resize(dot);
	return base + ".ch" + std::to_string(channel) + ".eq";
}

} // namespace

int open_device(tune_session &s, const char *path, const eq_target &target, int32_t part,
                int32_t channels)
{
	fir_record fir{};
	fir.part = part;
	int32_t rate = 0;
	if (const char *failed = device_query(path, target, s.device, rate, fir)) {
		int e = errno;
		std::fprintf(stderr, "firtune: %s: %.*s: %s\n", path,
		             static_cast<int>(std::strlen(failed) - 1), failed, std::strerror(e));
		return EX_SOFTWARE;
	}
	if (const char *invalid = check_rate_length(rate, fir.length)) {
		std::fprintf(stderr, "firtune: %s", invalid);
		return EX_SOFTWARE;
	}
	part_info_record info{};
	info.part = part;
	if (device_part_info(s.device.get(), target, info) < 0) {
		std::fprintf(stderr, "firtune: %s: Cannot read part information: %s\n", path,
		             std::strerror(errno));
		return EX_SOFTWARE;
	}
	if (channels == 0) {
		channels = device_count_channels(s.device.get(), target, part, counted_channels);
		if (channels == counted_channels) {
			std::fprintf(
			        stderr,
			        "firtune: %s: part %d answers filter reads for %d channels and "
			        "more; give its number of channels with -c\n",
			        path, part, counted_channels);
			return EX_SOFTWARE;
		}
	}
	s.has_device = true;
	s.path = path;
	s.target = &target;
	s.part = part;
	s.name.assign(info.name, strnlen(info.name, part_name_size));
	s.rate = rate;
	s.length = fir.length;
	s.channels = channels;
	return 0;
}

int plan_designer(tune_session &s)
{
	if (eq_init(s.eq, s.rate, s.length) == 0) {
		std::fputs("firtune: Cannot set up filter designer\n", stderr);
		return EX_SOFTWARE;
	}
	return 0;
}

design_outcome design_layout(eq_state &eq, const std::string &text)
{
	design_outcome o;
	memory_text errors;
	int line = 0;
	eq_output out{printer{}, printer{errors.stream, ""}, &line};
	o.ok = eq_design(eq, text.c_str(), out) != 0;
	if (!o.ok) {
		o.error = errors.text();
		while (!o.error.empty() && (o.error.back() == '\n' || o.error.back() == ' '))
			o.error.pop_back();
		if (o.error.empty())
			o.error = "Invalid equalizer data";
		o.line = line;
	}
	return o;
}

std::string write_channel(tune_session &s, int32_t channel, double *taps)
{
	if (device_write_channel(s.device.get(), *s.target, s.part, channel, s.length, taps) < 0)
		return std::string(taps != nullptr ? "Cannot set FIR filter on channel"
		                                   : "Cannot disable FIR filter") +
		       ": " + std::strerror(errno);
	return "";
}

std::string save_profile(tune_session &s, const std::map<int32_t, std::string> &layouts,
                         std::vector<std::string> &files)
{
	profile next = s.prof;
	if (s.has_device) {
		next.device = s.path;
		next.what = s.target->keyword;
		next.part = s.part;
		next.part_given = true;
	}
	std::map<int32_t, std::string> named;
	for (const profile_channel &c : s.prof.channels)
		named[c.channel] = c.file;
	next.channels.clear();
	for (const auto &[channel, text] : layouts) {
		auto known = named.find(channel);
		profile_channel c;
		c.channel = channel;
		c.file = known != named.end() ? known->second
		                              : channel_file(s.profile_path, channel);
		next.channels.push_back(c);
	}

	std::vector<std::unique_ptr<staged_file>> staged;
	auto put = [&](const std::string &path, const std::string &text) -> std::string {
		staged.push_back(std::make_unique<staged_file>());
		staged_file &f = *staged.back();
		if (int e = stage(f, path))
			return "cannot create " + path + ": " + std::strerror(e);
		if (int e = write_text(f, text))
			return "cannot write " + path + ": " + std::strerror(e);
		return "";
	};
	for (const profile_channel &c : next.channels) {
		std::string text = layouts.at(c.channel);
		if (!text.empty() && text.back() != '\n')
			text += '\n';
		if (std::string why = put(beside(s.profile_path, c.file), text); !why.empty())
			return why;
	}
	if (std::string why = put(s.profile_path, profile_text(next)); !why.empty())
		return why;
	files.clear();
	for (auto &f : staged) {
		if (int e = commit(*f))
			return "cannot write " + f->path + ": " + std::strerror(e);
		files.push_back(f->path);
	}
	s.prof = std::move(next);
	s.layouts = layouts;
	return "";
}
