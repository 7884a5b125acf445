#include "apply.h"

#include "device.h"
#include "diag.h"
#include "profile.h"
#include "session.h"

#include <sysexits.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

int refuse(const char *path, int line, const std::string &what)
{
	std::fprintf(stderr, "firtune: %s:%d: %s\n", visible(path).c_str(), line,
	             visible(what).c_str());
	return EX_DATAERR;
}

} // namespace

int apply_profile(const tune_settings &settings)
{
	const char *path = settings.profile;
	std::string text, why;
	switch (read_text_file(path, largest_profile, text, why)) {
	case file_read::ok: break;
	case file_read::too_much: return refuse(path, 0, "the profile is too large");
	case file_read::missing:
	case file_read::error:
		std::fprintf(stderr, "firtune: cannot read %s: %s\n", visible(path).c_str(),
		             why.c_str());
		return EX_NOINPUT;
	}
	profile p;
	import_error err;
	if (!parse_profile(text, p, err))
		return refuse(path, err.line, err.what);
	if (p.device.empty())
		return refuse(path, p.lines > 0 ? p.lines : 1,
		              "no device line: --apply needs the control device");
	if (p.channels.empty())
		return refuse(path, p.lines, "no channel line: nothing to load");
	std::map<int32_t, std::string> layouts;
	if (!read_profile_layouts(profile_real_path(path), p, layouts, err))
		return refuse(path, err.line, err.what);

	tune_session s;
	const eq_target *target = find_target(p.what.empty() ? "tx_dev" : p.what);
	// The channels are the profile's: nothing is counted.
	if (int status = open_device(s, p.device.c_str(), *target, p.part, 1))
		return status;
	if (int status = plan_designer(s))
		return status;
	eq_guard guard{s.eq};
	s.max_gain_db = settings.max_gain_given ? settings.max_gain_db
	                : p.max_gain.empty()    ? default_max_gain
	                                        : p.max_gain_db;

	// A channel the part does not have is refused before anything is
	// written: the part answers filter reads for its channels only.
	int32_t highest = 0;
	for (const profile_channel &c : p.channels)
		highest = std::max(highest, c.channel);
	int32_t answered = device_count_channels(s.device.get(), *target, p.part, highest + 1);
	for (const profile_channel &c : p.channels)
		if (c.channel >= answered) {
			std::fprintf(
			        stderr,
			        "firtune: channel %d: %s: part %d has no channel %d (it has %d); "
			        "nothing written\n",
			        c.channel, visible(c.file).c_str(), p.part, c.channel, answered);
			return EX_SOFTWARE;
		}

	// Every layout is designed and its peak gain checked before anything is
	// written, so a layout the designer or the gain guard refuses leaves
	// every channel as it was.
	std::vector<std::vector<double>> taps;
	for (const profile_channel &c : p.channels) {
		design_outcome o = design_source(s.eq, layouts[c.channel], profile_phase(p));
		if (!o.ok) {
			std::string where =
			        c.file + (o.line > 0 ? ":" + std::to_string(o.line) : "");
			return refuse(path, c.line, where + ": " + o.error);
		}
		if (std::string over = gain_refusal(s.eq, s.max_gain_db); !over.empty())
			return refuse(path, c.line, c.file + ": " + over + "; nothing written");
		taps.emplace_back(s.eq.time, s.eq.time + s.length);
	}
	int status = 0;
	for (size_t i = 0; i < p.channels.size(); i++) {
		const profile_channel &c = p.channels[i];
		std::string failed = write_channel(s, c.channel, taps[i].data());
		if (failed.empty()) {
			std::printf("channel %d: %s, %d taps, written\n", c.channel,
			            visible(c.file).c_str(), s.length);
		} else {
			std::fflush(stdout);
			std::fprintf(stderr, "firtune: channel %d: %s: %s\n", c.channel,
			             visible(c.file).c_str(), failed.c_str());
			status = EX_SOFTWARE;
		}
	}
	if (std::fflush(stdout) != 0 && status == 0) {
		std::fprintf(stderr, "firtune: cannot write standard output: %s\n",
		             std::strerror(errno));
		return EX_IOERR;
	}
	return status;
}
