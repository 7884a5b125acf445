#include "session.h"

#include "device.h"
#include "diag.h"
#include "layout.h"
#include "path.h"
#include "response.h"
#include "staged.h"
#include "summary.h"

#include <dirent.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

namespace
{

// "<stem>.ch<N>.eq" for the profile at path.
std::string channel_file(const std::string &profile_path, int32_t channel)
{
	std::string base = base_of(profile_path);
	size_t dot = base.rfind('.');
	if (dot != std::string::npos && dot > 0)
		base.resize(dot);
	return base + ".ch" + std::to_string(channel) + ".eq";
}

// path as an absolute name, for a profile applied where the working folder
// is another.
std::string absolute_path(const std::string &path)
{
	if (path.starts_with('/'))
		return path;
	if (char *real = realpath(path.c_str(), nullptr)) {
		std::string out = real;
		std::free(real);
		return out;
	}
	char here[PATH_MAX];
	if (getcwd(here, sizeof here) == nullptr)
		return path;
	return std::string(here) + "/" + path;
}

// Removes the temporary files that a save of path killed half-way left
// beside the file path leads to.
void remove_stale_temporaries(const std::string &path)
{
	std::string file = path;
	if (char *real = realpath(path.c_str(), nullptr)) {
		file = real;
		std::free(real);
	}
	std::string folder = folder_of(file), base = base_of(file);
	long longest = pathconf(folder.c_str(), _PC_NAME_MAX);
	DIR *d = opendir(folder.c_str());
	if (d == nullptr)
		return;
	std::vector<std::string> stale;
	while (const dirent *e = readdir(d))
		if (is_temporary_of(e->d_name, base,
		                    longest > 0 ? static_cast<size_t>(longest) : 255))
			stale.push_back(folder + "/" + e->d_name);
	closedir(d);
	for (const std::string &name : stale)
		unlink(name.c_str());
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
		std::fprintf(stderr, "firtune: %s: %.*s: %s\n", visible(path).c_str(),
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
		std::fprintf(stderr, "firtune: %s: Cannot read part information: %s\n",
		             visible(path).c_str(), std::strerror(errno));
		return EX_SOFTWARE;
	}
	if (channels == 0) {
		channels = device_count_channels(s.device.get(), target, part, counted_channels);
		if (channels == counted_channels) {
			std::fprintf(
			        stderr,
			        "firtune: %s: part %d answers filter reads for %d channels and "
			        "more; give its number of channels with -c\n",
			        visible(path).c_str(), part, counted_channels);
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
	// Every drag designs again: responses from the spread grid, planned
	// once.
	s.eq.spread_linear = true;
	return 0;
}

design_outcome design_layout(eq_state &eq, const std::string &text, eq_phase phase)
{
	design_outcome o;
	eq.phase = phase;
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

bool source_layout(std::string_view text, input_format format, double rate, std::string &layout,
                   design_outcome &o, import_memo *memo)
{
	o = design_outcome{};
	std::string why;
	if (!plain_text(text, why)) {
		o.error = why;
		return false;
	}
	if (format == input_format::layout) {
		std::string plain(text);
		layout = plain.c_str(); // a NUL ends the layout
		if (layout.size() > max_layout) {
			o.error = "Too much input data";
			return false;
		}
		return true;
	}
	// The same text imports to the same layout: the importer is a function
	// of the text, format and rate alone.
	if (memo != nullptr && memo->format == format && memo->rate == rate &&
	    memo->source == text) {
		layout = memo->layout;
		return true;
	}
	import_error err;
	if (!import_layout(text, format, rate, correction_options{}, layout, err)) {
		o.error = err.file.empty() ? err.what : err.file + ": " + err.what;
		o.line = err.line;
		return false;
	}
	if (memo != nullptr)
		*memo = import_memo{std::string(text), format, rate, layout};
	return true;
}

bool source_layout(std::string_view text, double rate, std::string &layout, design_outcome &o,
                   import_memo *memo)
{
	std::string_view plain = text;
	std::string why;
	input_format format = plain_text(plain, why) ? detect_format(plain) : input_format::eqapo;
	return source_layout(text, format, rate, layout, o, memo);
}

design_outcome design_kept(tune_session &s, const std::string &layout, eq_phase phase)
{
	std::string key = std::string(phase_name(phase)) + "\n" + layout;
	if (!s.kept.empty() && s.kept == key) {
		design_outcome o;
		o.ok = true;
		return o;
	}
	design_outcome o = design_layout(s.eq, layout, phase);
	s.kept = o.ok ? std::move(key) : std::string();
	s.kept_response.reset();
	s.kept_summary.reset();
	return o;
}

void forget_kept(tune_session &s)
{
	s.kept.clear();
	s.kept_response.reset();
	s.kept_summary.reset();
}

const response &kept_response(tune_session &s)
{
	if (!s.kept_response)
		s.kept_response = std::make_shared<const response>(design_response(s.eq));
	return *s.kept_response;
}

const design_summary &kept_summary(tune_session &s)
{
	if (!s.kept_summary) {
		// The layout follows the phase's name in the key.
		std::string layout = s.kept.substr(std::min(s.kept.size(), s.kept.find('\n') + 1));
		s.kept_summary = std::make_shared<const design_summary>(
		        summarize(s.eq, kept_response(s), layout.c_str(), false));
	}
	return *s.kept_summary;
}

design_outcome design_source(eq_state &eq, std::string_view text, eq_phase phase)
{
	std::string layout;
	design_outcome o;
	if (!source_layout(text, eq.rate, layout, o))
		return o;
	return design_layout(eq, layout, phase);
}

const char *phase_name(eq_phase phase)
{
	return phase == eq_phase::minimum ? "minimum" : "linear";
}

eq_phase profile_phase(const profile &p)
{
	return p.phase == "minimum" ? eq_phase::minimum : eq_phase::linear;
}

namespace
{

double peak_db_of(const eq_state &eq)
{
	// The gains alone: the group delay would change nothing here.
	return figures_of(eq, response_at_in_two(eq, response_grid(eq.rate)), audio_band(eq.rate))
	        .top.db;
}

std::string peak_refusal(double peak_db, double limit_db)
{
	if (!(peak_db > limit_db))
		return "";
	char text[128];
	std::snprintf(text, sizeof text, "peak gain %+.1f dB exceeds the limit of %+g dB", peak_db,
	              limit_db);
	return text;
}

} // namespace

std::string gain_refusal(const eq_state &eq, double limit_db)
{
	return peak_refusal(peak_db_of(eq), limit_db);
}

std::string kept_gain_refusal(tune_session &s)
{
	if (s.kept.empty())
		return gain_refusal(s.eq, s.max_gain_db);
	return peak_refusal(kept_summary(s).top.db, s.max_gain_db);
}

std::string write_channel(tune_session &s, int32_t channel, double *taps)
{
	std::lock_guard hold(s.device_lock);
	if (device_write_channel(s.device.get(), *s.target, s.part, channel, s.length, taps) < 0)
		return std::string(taps != nullptr ? "Cannot set FIR filter on channel"
		                                   : "Cannot disable FIR filter") +
		       ": " + std::strerror(errno);
	if (taps != nullptr)
		s.written[channel].assign(taps, taps + s.length);
	else
		s.written[channel].clear();
	return "";
}

std::vector<std::string> setting_differences(const tune_session &s)
{
	const profile &p = s.prof;
	std::vector<std::string> out;
	if (!s.has_device || p.device.empty())
		return out;
	std::string device = absolute_path(s.path);
	if (absolute_path(p.device) != device)
		out.push_back("the profile names device " + p.device + ", firtune runs with -d " +
		              s.path);
	std::string what = p.what.empty() ? "tx_dev" : p.what;
	if (what != s.target->keyword)
		out.push_back("the profile names what " + what + ", firtune runs with -w " +
		              std::string(s.target->keyword));
	int32_t part = p.part_given ? p.part : 0;
	if (part != s.part)
		out.push_back("the profile names part " + std::to_string(part) +
		              ", firtune runs with -p " + std::to_string(s.part));
	return out;
}

std::string profile_to_save(const tune_session &s, const std::map<int32_t, std::string> &layouts,
                            bool replace_settings, profile &next)
{
	next = s.prof;
	if (s.has_device && (replace_settings || setting_differences(s).empty())) {
		next.device = absolute_path(s.path);
		next.what = std::string(s.target->keyword);
		next.part = s.part;
		next.part_given = true;
	}
	std::set<int32_t> named;
	for (const profile_channel &c : s.prof.channels)
		named.insert(c.channel);
	for (const auto &[channel, text] : layouts) {
		if (named.contains(channel))
			continue;
		profile_channel c;
		c.channel = channel;
		c.file = channel_file(s.profile_path, channel);
		next.channels.push_back(c);
	}
	std::map<std::string, int32_t> files;
	for (const profile_channel &c : next.channels) {
		auto [other, fresh] =
		        files.emplace(plain_path(beside(s.real_profile, c.file)), c.channel);
		if (!fresh)
			return "channel " + std::to_string(c.channel) + " uses " + c.file +
			       ", which channel " + std::to_string(other->second) + " uses too";
	}
	return "";
}

std::string save_profile(tune_session &s, profile next,
                         const std::map<int32_t, std::string> &layouts,
                         std::vector<std::string> &files,
                         const std::vector<std::pair<std::string, std::string>> &extra)
{
	std::vector<std::string> paths;
	for (const profile_channel &c : next.channels)
		if (layouts.contains(c.channel))
			paths.push_back(beside(s.real_profile, c.file));
	paths.push_back(s.profile_path);
	for (const auto &[path, text] : extra)
		remove_stale_temporaries(path);
	for (const std::string &path : paths)
		remove_stale_temporaries(path);

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
	size_t i = 0;
	for (const profile_channel &c : next.channels) {
		auto layout = layouts.find(c.channel);
		if (layout == layouts.end())
			continue;
		std::string text = layout->second;
		if (!text.empty() && text.back() != '\n')
			text += '\n';
		if (std::string why = put(paths[i++], text); !why.empty())
			return why;
	}
	for (const auto &[path, text] : extra)
		if (std::string why = put(path, text); !why.empty())
			return why;
	if (std::string why = put(s.profile_path, profile_text(next)); !why.empty())
		return why;
	files.clear();
	for (auto &f : staged) {
		if (int e = commit(*f))
			return "cannot write " + f->path + ": " + std::strerror(e);
		files.push_back(f->path);
	}
	s.prof = std::move(next);
	for (const auto &[channel, text] : layouts)
		s.layouts[channel] = text;
	return "";
}
