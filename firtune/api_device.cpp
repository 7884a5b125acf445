// The requests that write: filters to the device's channels, and the
// profile with its layouts.
#include "api.h"

#include "fields.h"
#include "layout.h"
#include "text.h"

using nlohmann::json;

namespace
{

http_answer no_device()
{
	return refusal(409, "firtune was started without a device (-d): nothing can be loaded");
}

// Writes the design now in eq.time (or, with off, the disable request) to
// each channel, one result each.
json channel_writes(tune_session &s, const std::vector<int32_t> &channels, bool off)
{
	bool any = false;
	json results = json::array();
	for (int32_t c : channels) {
		json one = json::object();
		one["channel"] = c;
		std::string why = write_channel(s, c, off ? nullptr : s.eq.time);
		one["written"] = why.empty();
		any = any || why.empty();
		if (!why.empty())
			one["error"] = why;
		results.push_back(one);
	}
	json out = json::object();
	out["channels"] = results;
	if (!off) {
		// What a channel now holds is of this phase: it becomes the
		// session's once any channel took it.
		if (any)
			s.phase = s.eq.phase;
		out["phase"] = phase_name(s.eq.phase);
	}
	return out;
}

http_answer write_channels(tune_session &s, const std::vector<int32_t> &channels, bool off)
{
	return answer(200, channel_writes(s, channels, off));
}

// Designs layout with phase and writes it to channels, unless the
// design's peak gain is over the guard's limit: then nothing is written to
// any of them.
http_answer design_and_write(tune_session &s, const std::vector<int32_t> &channels,
                             const std::string &layout, eq_phase phase)
{
	if (http_answer busy; !channels_free(s, channels, busy))
		return busy;
	design_outcome o = design_kept(s, layout, phase);
	if (!o.ok)
		return refusal(422, o.error, o.line);
	if (std::string why = kept_gain_refusal(s); !why.empty())
		return refusal(422, why);
	return write_channels(s, channels, false);
}

// The "channels" object of a save: channel numbers, as written in decimal,
// and the layouts, each one the designer takes.
bool profile_layouts(tune_session &s, const json &given, std::map<int32_t, std::string> &layouts,
                     http_answer &refused)
{
	if (!given.is_object()) {
		refused =
		        refusal(400, "'channels' must be an object of channel numbers and layouts");
		return false;
	}
	int32_t limit = s.has_device ? s.channels : profile_channel_limit;
	for (auto item = given.begin(); item != given.end(); ++item) {
		const std::string &key = item.key();
		if (!item->is_string()) {
			refused = refusal(400, "each channel's layout must be a string");
			return false;
		}
		long long channel = 0;
		if (!whole_number(key, 0, limit - 1, channel)) {
			refused = refusal(422, "the part has no channel " + key);
			return false;
		}
		if (layouts.contains(static_cast<int32_t>(channel))) {
			refused =
			        refusal(422, "channel " + std::to_string(channel) + " given twice");
			return false;
		}
		// A channel's source is saved as given (a layout, or Equalizer APO
		// text for a band list); it must design as --apply will read it.
		std::string layout, source = item->get_ref<const std::string &>();
		std::string_view plain = source;
		std::string why;
		if (!plain_text(plain, why)) {
			refused = refusal(422, "channel " + key + ": " + why);
			return false;
		}
		if (detect_format(plain) == input_format::layout) {
			if (!layout_text(source, layout, refused))
				return false;
			source = layout;
		} else if (source.size() > max_layout) {
			refused = refusal(422, "channel " + key + ": Too much input data");
			return false;
		}
		forget_kept(s);
		design_outcome o = design_source(s.eq, source, s.phase);
		if (!o.ok) {
			refused = refusal(422, "channel " + key + ": " + o.error, o.line);
			return false;
		}
		layouts[static_cast<int32_t>(channel)] = std::move(source);
	}
	return true;
}

} // namespace

json load_kept(tune_session &s, const std::vector<int32_t> &channels)
{
	http_answer refused;
	if (!s.has_device)
		refused = no_device();
	else if (channels_free(s, channels, refused)) {
		std::string why = kept_gain_refusal(s);
		if (why.empty())
			return channel_writes(s, channels, false);
		refused = refusal(422, why);
	}
	json out = json::parse(refused.body, nullptr, false);
	return out.is_object() ? out : json::object({{"error", "not written"}});
}

http_answer post_load(const api_call &c)
{
	tune_session &s = c.session;
	if (!s.has_device)
		return no_device();
	json body;
	http_answer refused;
	std::vector<int32_t> channels;
	std::string layout;
	eq_phase phase = s.phase;
	if (!json_object(c.request.body, {"channels", "layout", "source", "format", "phase"}, body,
	                 refused) ||
	    !channel_list(body, s.channels, channels, refused) ||
	    !design_input(body, s.eq.rate, layout, refused, &s.memo) ||
	    !optional_phase(body, phase, refused))
		return refused;
	return design_and_write(s, channels, layout, phase);
}

http_answer post_bypass(const api_call &c)
{
	tune_session &s = c.session;
	if (!s.has_device)
		return no_device();
	json body;
	http_answer refused;
	std::vector<int32_t> channels;
	eq_phase phase = s.phase;
	if (!json_object(c.request.body, {"channels", "phase"}, body, refused) ||
	    !channel_list(body, s.channels, channels, refused) ||
	    !optional_phase(body, phase, refused))
		return refused;
	// Bypass is the flat design of the phase: the same length and delay as
	// any other (for minimum phase the unit impulse at tap 0).
	return design_and_write(s, channels, "", phase);
}

http_answer post_off(const api_call &c)
{
	tune_session &s = c.session;
	if (!s.has_device)
		return no_device();
	json body;
	http_answer refused;
	std::vector<int32_t> channels;
	if (!json_object(c.request.body, {"channels"}, body, refused) ||
	    !channel_list(body, s.channels, channels, refused) ||
	    !channels_free(s, channels, refused))
		return refused;
	return write_channels(s, channels, true);
}

http_answer get_profile(const api_call &c)
{
	const tune_session &s = c.session;
	json out = json::object();
	out["path"] = s.profile_path.empty() ? json(nullptr) : json(s.profile_path);
	json channels = json::object();
	for (const auto &[channel, text] : s.layouts)
		channels[std::to_string(channel)] = text;
	out["channels"] = channels;
	out["differences"] = setting_differences(s);
	out["phase"] = phase_name(s.phase);
	out["measurements"] = measurements_json(s);
	return answer(200, out);
}

http_answer put_profile(const api_call &c)
{
	tune_session &s = c.session;
	if (s.profile_path.empty())
		return refusal(409, "firtune was started without a profile file: start it with "
		                    "one to save");
	json body;
	http_answer refused;
	std::map<int32_t, std::string> layouts;
	bool replace_settings = false;
	eq_phase phase = s.phase;
	if (!json_object(c.request.body, {"channels", "replace_settings", "phase", "measurements"},
	                 body, refused) ||
	    !optional_phase(body, phase, refused) ||
	    !profile_layouts(s, body["channels"], layouts, refused) ||
	    !optional_bool(body, "replace_settings", replace_settings, refused))
		return refused;
	profile next;
	if (std::string why = profile_to_save(s, layouts, replace_settings, next); !why.empty())
		return refusal(422, why);
	// Linear is what a profile without the line means; a line already
	// there stays, saying the phase either way.
	if (phase == eq_phase::minimum || !next.phase.empty())
		next.phase = phase_name(phase);
	save_audio_lines(s, next);
	std::vector<std::pair<std::string, std::string>> measured;
	if (!profile_measurements(s, body, next, measured, refused))
		return refused;
	std::vector<std::string> files;
	if (std::string why = save_profile(s, std::move(next), layouts, files, measured);
	    !why.empty())
		return refusal(500, why);
	s.phase = phase;
	json out = json::object();
	out["saved"] = s.profile_path;
	out["files"] = files;
	out["phase"] = phase_name(phase);
	return answer(200, out);
}
