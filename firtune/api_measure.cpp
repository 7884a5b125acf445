// The requests that measure: a sweep on one output channel, its progress
// and result, and its cancel.
#include "api.h"

#include "fields.h"
#include "measure_job.h"
#include "path.h"
#include "rew.h"
#include "text.h"

#include <chrono>
#include <cmath>

using nlohmann::json;

namespace
{

// A number field that may be negative; absent or null leaves value.
bool signed_number(const json &object, const char *name, double &value, bool &given,
                   http_answer &refused)
{
	auto it = object.find(name);
	if (it == object.end() || it->is_null())
		return true;
	if (!it->is_number() || !std::isfinite(it->get<double>())) {
		refused = refusal(400, std::string("'") + name + "' must be a number");
		return false;
	}
	value = it->get<double>();
	given = true;
	return true;
}

// A whole number from low to high; absent or null leaves value unless
// required.
bool whole_field(const json &object, const char *name, int64_t low, int64_t high, bool required,
                 int32_t &value, http_answer &refused)
{
	auto it = object.find(name);
	if (it == object.end() || it->is_null()) {
		if (required)
			refused = refusal(400, std::string("'") + name + "' is missing");
		return !required;
	}
	if (!it->is_number_integer()) {
		refused = refusal(400, std::string("'") + name + "' must be a whole number");
		return false;
	}
	int64_t v = it->get<int64_t>();
	if (v < low || v > high) {
		refused = refusal(422, std::string("'") + name + "' must be from " +
		                               std::to_string(low) + " to " + std::to_string(high));
		return false;
	}
	value = static_cast<int32_t>(v);
	return true;
}

const char *stage_name(measure_stage st)
{
	switch (st) {
	case measure_stage::playing: return "playing";
	case measure_stage::analysing: return "analysing";
	case measure_stage::done: return "done";
	case measure_stage::failed: return "failed";
	case measure_stage::cancelled: return "cancelled";
	}
	return "failed";
}

json job_json(const measure_job &job)
{
	json out = json::object();
	measure_stage st = job.stage.load();
	out["id"] = job.id;
	out["channel"] = job.order.channel;
	out["with"] = job.order.loaded ? "loaded" : "bypass";
	out["state"] = stage_name(st);
	double total = job.s.duration * job.order.repeat +
	               tail_seconds * static_cast<double>(job.order.repeat);
	std::chrono::duration<double> spent = std::chrono::steady_clock::now() - job.started;
	out["seconds"] = number_or_null(total);
	out["progress"] = st == measure_stage::playing
	                          ? number_or_null(std::min(spent.count() / total, 0.99))
	                          : json(1);
	if (st == measure_stage::playing || st == measure_stage::analysing)
		return out;
	if (!job.restored.empty())
		out["restored"] = job.restored;
	if (st != measure_stage::done) {
		out["error"] = job.error;
		return out;
	}
	const measurement &m = job.m;
	json f = json::array(), db = json::array();
	for (size_t i = 0; i < m.freq.size(); i++) {
		f.push_back(number_or_null(m.freq[i]));
		db.push_back(number_or_null(m.db[i]));
	}
	out["frequency_hz"] = f;
	out["spl_db"] = db;
	out["delay_ms"] = number_or_null(1000.0 * static_cast<double>(m.delay) / job.s.rate);
	out["delay_from_loopback"] = m.from_loopback;
	out["snr_db"] = number_or_null(m.snr_db);
	out["input_peak_dbfs"] = number_or_null(m.input_peak_db);
	out["notes"] = job.notes;
	out["rew"] = job.rew;
	return out;
}

// The id of /api/measure/ID, or 0.
int path_id(std::string_view path)
{
	constexpr std::string_view prefix = "/api/measure/";
	long long id = 0;
	if (!path.starts_with(prefix) || !whole_number(path.substr(prefix.size()), 1, 1 << 30, id))
		return 0;
	return static_cast<int>(id);
}

http_answer no_audio()
{
	return refusal(409, "firtune was started without an audio device (-D): nothing can be "
	                    "measured");
}

} // namespace

http_answer get_measuring(const api_call &c)
{
	const tune_session &s = c.session;
	json out = json::object();
	out["can_measure"] = s.has_device && !s.audio.empty() && s.measuring != nullptr;
	out["audio"] = s.audio.empty() ? json(nullptr) : json(s.audio);
	out["record"] = s.record;
	out["loopback"] = s.loopback >= 0 ? json(s.loopback) : json(nullptr);
	if (!s.has_device)
		out["reason"] = "firtune was started without a device (-d)";
	else if (s.audio.empty())
		out["reason"] = "firtune was started without an audio device (-D)";
	return answer(200, out);
}

http_answer post_measure(const api_call &c)
{
	tune_session &s = c.session;
	if (!s.has_device)
		return refusal(409, "firtune was started without a device (-d): no channel to "
		                    "measure");
	if (s.audio.empty() || !s.measuring)
		return no_audio();
	json body;
	http_answer refused;
	measure_order o;
	std::string with = "bypass";
	bool to_given = false, other = false;
	if (!json_object(c.request.body,
	                 {"channel", "seconds", "level_dbfs", "from", "to", "repeat", "with"}, body,
	                 refused) ||
	    !whole_field(body, "channel", 0, s.channels - 1, true, o.channel, refused) ||
	    !signed_number(body, "seconds", o.sweep.seconds, other, refused) ||
	    !signed_number(body, "level_dbfs", o.sweep.level_db, other, refused) ||
	    !signed_number(body, "from", o.sweep.from, other, refused) ||
	    !signed_number(body, "to", o.sweep.to, to_given, refused) ||
	    !whole_field(body, "repeat", 1, largest_measure_repeat, false, o.repeat, refused))
		return refused;
	if (body.contains("with") && !body["with"].is_null()) {
		if (!body["with"].is_string())
			return refusal(400, "'with' must be a string");
		with = body["with"].get<std::string>();
		if (with != "bypass" && with != "loaded")
			return refusal(422, "'with' must be bypass or loaded");
	}
	// Refused here as well as by the sweep: never louder than this.
	if (o.sweep.level_db > largest_level_db)
		return refusal(422, "the level must be -3 dBFS or below");
	o.sweep.to_given = to_given;
	o.loaded = with == "loaded";
	std::shared_ptr<measure_job> job;
	std::string why;
	if (int status = start_measure(s, o, job, why))
		return refusal(status, why);
	http_answer a = answer(202, job_json(*job));
	a.headers.emplace_back("Location", "/api/measure/" + std::to_string(job->id));
	return a;
}

namespace
{

// The measurement the path names, or the refusal to answer with.
std::shared_ptr<measure_job> named_measure(const api_call &c, http_answer &refused)
{
	std::shared_ptr<measure_job> job;
	if (!c.session.measuring)
		refused = no_audio();
	else if (job = find_measure(c.session, path_id(c.request.path)); !job)
		refused = refusal(404, "no such measurement");
	return job;
}

} // namespace

http_answer get_measure(const api_call &c)
{
	http_answer refused;
	std::shared_ptr<measure_job> job = named_measure(c, refused);
	return job ? answer(200, job_json(*job)) : refused;
}

http_answer delete_measure(const api_call &c)
{
	http_answer refused;
	std::shared_ptr<measure_job> job = named_measure(c, refused);
	if (!job)
		return refused;
	cancel_measure(*job);
	return answer(200, job_json(*job));
}

bool channels_free(tune_session &s, const std::vector<int32_t> &channels, http_answer &refused)
{
	for (int32_t ch : channels)
		if (channel_measured(s, ch)) {
			refused = refusal(409,
			                  "channel " + std::to_string(ch) +
			                          " is being measured: wait for it or cancel it");
			return false;
		}
	return true;
}

void save_audio_lines(const tune_session &s, profile &next)
{
	if (s.audio.empty())
		return;
	next.audio = s.audio;
	next.record = s.record;
	next.loopback = s.loopback;
}

namespace
{

// Largest measurement file kept with a profile.
constexpr size_t largest_measurement = 256 << 10;

std::string stem_of(const std::string &profile_path)
{
	std::string base = base_of(profile_path);
	size_t dot = base.rfind('.');
	return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
}

} // namespace

bool profile_measurements(const tune_session &s, const json &body, profile &next,
                          std::vector<std::pair<std::string, std::string>> &files,
                          http_answer &refused)
{
	auto given = body.find("measurements");
	if (given == body.end() || given->is_null())
		return true;
	if (!given->is_object()) {
		refused = refusal(400, "'measurements' must be an object of channel numbers and "
		                       "lists of measurements");
		return false;
	}
	std::vector<profile_measurement> kept;
	for (auto item = given->begin(); item != given->end(); ++item) {
		long long channel = 0;
		if (!whole_number(item.key(), 0, profile_channel_limit - 1, channel)) {
			refused = refusal(422, "the part has no channel " + item.key());
			return false;
		}
		auto c = static_cast<int32_t>(channel);
		if (!item->is_array() || item->size() > measurements_per_channel) {
			refused = refusal(400,
			                  "each channel's measurements must be a list of at most " +
			                          std::to_string(measurements_per_channel));
			return false;
		}
		std::vector<std::string> names;
		for (const profile_measurement &m : next.measurements)
			if (m.channel == c)
				names.push_back(m.file);
		for (size_t k = 0; k < item->size(); k++) {
			const json &text = (*item)[k];
			db_curve curve;
			import_error err;
			std::string why;
			std::string_view view;
			if (text.is_string())
				view = text.get_ref<const std::string &>();
			if (!text.is_string() || view.size() > largest_measurement ||
			    !plain_text(view, why) || !parse_db_curve(view, 3, curve, err)) {
				refused = refusal(
				        422, "channel " + item.key() +
				                     ": a measurement must be REW text" +
				                     (err.what.empty() ? "" : ": " + err.what));
				return false;
			}
			std::string name =
			        k < names.size() ? names[k]
			                         : stem_of(s.profile_path) + ".ch" + item.key() +
			                                   (k == 0 ? "-before.txt" : "-after.txt");
			kept.push_back({c, name, 0});
			files.emplace_back(beside(s.real_profile, name), std::string(view));
		}
	}
	// Channels not given keep their lines; the others have those given.
	std::vector<profile_measurement> lines;
	for (const profile_measurement &m : next.measurements)
		if (!given->contains(std::to_string(m.channel)))
			lines.push_back(m);
	lines.insert(lines.end(), kept.begin(), kept.end());
	next.measurements = std::move(lines);
	return true;
}

json measurements_json(const tune_session &s)
{
	json out = json::object();
	for (const profile_measurement &m : s.prof.measurements) {
		std::string text, why;
		bool read = read_text_file(beside(s.real_profile, m.file), largest_measurement,
		                           text, why) == file_read::ok;
		// A file gone leaves its place (before, after) empty.
		out[std::to_string(m.channel)].push_back(read ? json(text) : json(nullptr));
	}
	return out;
}
