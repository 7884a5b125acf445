// The requests that design and import: nothing here touches the device or
// a file.
#include "api.h"

#include "export.h"
#include "fields.h"
#include "import.h"
#include "response.h"
#include "summary.h"

#include <algorithm>
#include <cmath>

using nlohmann::json;

namespace
{

json db_array(const std::vector<double> &gains)
{
	json out = json::array();
	for (double g : gains)
		out.push_back(number_or_null(to_db(g)));
	return out;
}

// The breakpoints as the designer read them: the upper end of each piece,
// but for the flat piece the reader adds up to the rate when the layout
// has ended.
json breakpoints(const eq_state &eq)
{
	json out = json::array();
	for (size_t i = 0; i < eq.segments.size(); i++) {
		const eq_segment &seg = eq.segments[i];
		bool added = i + 1 == eq.segments.size() && seg.f1 == eq.rate && seg.g1 == seg.g0;
		if (!added)
			out.push_back(
			        json::array({number_or_null(seg.f1), number_or_null(seg.g1)}));
	}
	return out;
}

json summary_json(const design_summary &d)
{
	json s = json::object();
	s["rate"] = d.rate;
	s["length"] = d.length;
	s["latency_samples"] = d.latency;
	s["latency_ms"] = number_or_null(d.latency_ms);
	s["bin_spacing_hz"] = number_or_null(d.bin_spacing);
	s["peak_db"] = number_or_null(d.top.db);
	s["peak_hz"] = number_or_null(d.top.freq);
	s["deviation_db"] = d.dev.any ? number_or_null(d.dev.db) : json(nullptr);
	s["deviation_hz"] = d.dev.any ? number_or_null(d.dev.freq) : json(nullptr);
	s["tap_sum"] = number_or_null(d.tap_sum);
	s["phase"] = phase_name(d.phase);
	if (d.phase == eq_phase::minimum) {
		s["group_delay_ms"] = d.delay_any ? json::array({number_or_null(d.delay_low_ms),
		                                                 number_or_null(d.delay_high_ms)})
		                                  : json(nullptr);
	}
	s["advice"] = d.advice;
	s["text"] = summary_text(d);
	return s;
}

// The "options" object of an import: each field read by the converter of
// a measurement.
bool import_options(const json &body, correction_options &o, http_answer &refused)
{
	auto it = body.find("options");
	if (it == body.end() || it->is_null())
		return true;
	if (!it->is_object()) {
		refused = refusal(400, "'options' must be an object");
		return false;
	}
	const json &opts = *it;
	if (!known_fields(opts, {"smooth", "target", "range", "max_boost", "max_cut"}, "option",
	                  refused) ||
	    !optional_number(opts, "smooth", o.smooth, refused) ||
	    !optional_number(opts, "max_boost", o.max_boost, refused) ||
	    !optional_number(opts, "max_cut", o.max_cut, refused))
		return false;
	if (auto t = opts.find("target"); t != opts.end() && !t->is_null()) {
		if (!t->is_string()) {
			refused = refusal(400, "'target' must be the text of a target curve");
			return false;
		}
		std::string_view text = t->get_ref<const std::string &>();
		std::string why;
		if (!plain_text(text, why)) {
			refused = refusal(422, "target: " + why);
			return false;
		}
		o.target.assign(text);
		o.target_name = "target";
	}
	if (auto range = opts.find("range"); range != opts.end() && !range->is_null()) {
		double low = 0, high = 0;
		if (range->is_array() && range->size() == 2 && (*range)[0].is_number() &&
		    (*range)[1].is_number()) {
			low = (*range)[0].get<double>();
			high = (*range)[1].get<double>();
		} else if (range->is_string()) {
			// "LO:HI", as firdesign's --range takes it; anything else is
			// refused below.
			parse_range(range->get_ref<const std::string &>(), low, high);
		} else {
			refused = refusal(400, "'range' must be [low, high] or \"low:high\" in Hz");
			return false;
		}
		if (!(low > 0) || !(high > low) || !std::isfinite(high)) {
			refused = refusal(422, "'range' needs 0 < low < high");
			return false;
		}
		o.low = low;
		o.high = high;
	}
	return true;
}

// The measurement and target of an import on the response grid.
json measurement_json(const import_report &report, int32_t rate)
{
	size_t points = std::min(
	        {report.curve_hz.size(), report.measured_db.size(), report.target_db.size()});
	if (points == 0)
		return nullptr;
	db_curve measured, target;
	for (size_t i = 0; i < points; i++) {
		// The curves are read as rising; a point that does not rise is
		// left out rather than read out of order.
		if (!measured.freq.empty() && !(report.curve_hz[i] > measured.freq.back()))
			continue;
		measured.freq.push_back(report.curve_hz[i]);
		measured.db.push_back(report.measured_db[i]);
		target.freq.push_back(report.curve_hz[i]);
		target.db.push_back(report.target_db[i]);
	}
	std::vector<double> grid = response_grid(rate);
	json m = json::object(), md = json::array(), td = json::array();
	for (double hz : grid) {
		md.push_back(number_or_null(curve_db(measured, hz)));
		td.push_back(number_or_null(curve_db(target, hz)));
	}
	m["frequency_hz"] = grid;
	m["measured_db"] = md;
	m["target_db"] = td;
	return m;
}

// The taps around the impulse's peak (its largest magnitude): a bounded
// number of samples from a little before it, and where they start.
json impulse_json(const eq_state &eq)
{
	constexpr int32_t before = 64, count = 512;
	int32_t n = eq.length, peak = 0;
	for (int32_t i = 1; i < n; i++)
		if (std::fabs(eq.time[i]) > std::fabs(eq.time[peak]))
			peak = i;
	int32_t start = std::max(0, std::min(peak - before, n - count));
	int32_t end = std::min(n, start + count);
	json taps = json::array();
	for (int32_t i = start; i < end; i++)
		taps.push_back(number_or_null(eq.time[i]));
	json out = json::object();
	out["start"] = start;
	out["peak"] = peak;
	out["taps"] = taps;
	return out;
}

const char *format_name(input_format f)
{
	switch (f) {
	case input_format::eqapo: return "eqapo";
	case input_format::rew: return "rew";
	case input_format::db: return "db";
	case input_format::layout: break;
	}
	return "layout";
}

} // namespace

http_answer get_device(const api_call &c)
{
	const tune_session &s = c.session;
	json d = json::object();
	if (s.has_device) {
		d["path"] = s.path;
		d["what"] = s.target->keyword;
		d["part"] = s.part;
		d["name"] = s.name;
	} else {
		d["path"] = d["what"] = d["part"] = d["name"] = nullptr;
	}
	d["rate"] = s.rate;
	d["length"] = s.length;
	d["channels"] = s.channels;
	d["can_load"] = s.has_device;
	d["max_gain_db"] = s.max_gain_db;
	d["phase"] = phase_name(s.phase);
	if (!s.has_device)
		d["reason"] = "started without a device (-d): design only";
	return answer(200, d);
}

http_answer post_design(const api_call &c)
{
	eq_state &eq = c.session.eq;
	json body;
	http_answer refused;
	std::string layout;
	// A design names its phase, or takes the session's; it changes nothing.
	eq_phase phase = c.session.phase;
	if (!json_object(c.request.body, {"layout", "source", "format", "phase", "load"}, body,
	                 refused) ||
	    !design_input(body, eq.rate, layout, refused, &c.session.memo) ||
	    !optional_phase(body, phase, refused))
		return refused;
	// "load": channels the design is also written to, as /api/load writes
	// it (Live: one request, one design).
	std::vector<int32_t> load;
	auto given = body.find("load");
	bool loading = given != body.end() && !given->is_null();
	if (loading &&
	    !channel_list(json::object({{"channels", *given}}), c.session.channels, load, refused))
		return refused.status == 400
		               ? refusal(400, "'load' must be an array of channel numbers or null")
		               : refused;
	design_outcome o = design_kept(c.session, layout, phase);
	if (!o.ok)
		return refusal(422, o.error, o.line);
	const response &resp = kept_response(c.session);
	json out = json::object();
	out["phase"] = phase_name(phase);
	out["frequency_hz"] = resp.freq;
	out["requested_db"] = db_array(resp.requested);
	out["achieved_db"] = db_array(resp.achieved);
	const design_summary &summary = kept_summary(c.session);
	// Linear phase delays every frequency alike, by its latency.
	if (phase == eq_phase::minimum)
		out["group_delay_ms"] = resp.delay_ms;
	else
		out["group_delay_ms"] = std::vector<double>(resp.freq.size(), summary.latency_ms);
	out["impulse"] = impulse_json(eq);
	out["breakpoints"] = breakpoints(eq);
	out["summary"] = summary_json(summary);
	if (loading)
		out["load"] = load_kept(c.session, load);
	return answer(200, out);
}

http_answer post_import(const api_call &c)
{
	json body;
	http_answer refused;
	std::string given;
	if (!json_object(c.request.body, {"text", "format", "options"}, body, refused) ||
	    !string_field(body, "text", given, refused))
		return refused;
	std::string_view text = given;
	std::string why;
	if (!plain_text(text, why))
		return refusal(422, why);
	input_format format = input_format::layout;
	auto f = body.find("format");
	if (f == body.end() || f->is_null()) {
		format = detect_format(text);
	} else if (!f->is_string() || !format_named(f->get_ref<const std::string &>(), format)) {
		return refusal(400, "'format' must be the name of an input format or null");
	}
	correction_options options;
	if (!import_options(body, options, refused))
		return refused;

	std::string layout;
	import_report report;
	if (format == input_format::layout) {
		if (!layout_text(text, layout, refused))
			return refused;
	} else {
		import_error err;
		if (!import_layout(text, format, c.session.rate, options, layout, err, &report)) {
			std::string what = err.file.empty() ? err.what : err.file + ": " + err.what;
			return refusal(422, what, err.line);
		}
	}
	json out = json::object();
	out["layout"] = layout;
	out["format"] = format_name(format);
	out["notes"] = report.notes;
	out["measurement"] = measurement_json(report, c.session.rate);
	return answer(200, out);
}

http_answer post_export(const api_call &c)
{
	eq_state &eq = c.session.eq;
	json body;
	http_answer refused;
	std::string layout, what;
	if (!json_object(c.request.body, {"source", "format", "phase", "what"}, body, refused) ||
	    !string_field(body, "what", what, refused))
		return refused;
	struct kind {
		std::string_view what, ext, type;
	};
	static constexpr kind kinds[] = {
	        {"taps-txt", "txt", "text/plain; charset=utf-8"},
	        {"taps-f32", "f32", "application/octet-stream"},
	        {"taps-f64", "f64", "application/octet-stream"},
	        {"taps-wav", "wav", "audio/wav"},
	        {"source", "", "text/plain; charset=utf-8"},
	        {"response-csv", "csv", "text/csv; charset=utf-8"},
	};
	const kind *k = nullptr;
	for (const kind &one : kinds)
		if (one.what == what)
			k = &one;
	if (k == nullptr)
		return refusal(422, "'what' must be taps-txt, taps-f32, taps-f64, taps-wav, source "
		                    "or response-csv");
	eq_phase phase = c.session.phase;
	if (!optional_phase(body, phase, refused) ||
	    !design_input(body, eq.rate, layout, refused, &c.session.memo))
		return refused;
	http_answer a;
	a.headers.emplace_back("Content-Type", std::string(k->type));
	if (k->what == "source") {
		a.body = body.at(body.contains("source") ? "source" : "layout").get<std::string>();
		a.headers.emplace_back("Content-Disposition", "attachment");
		return a;
	}
	design_outcome o = design_kept(c.session, layout, phase);
	if (!o.ok)
		return refusal(422, o.error, o.line);
	if (k->ext == "csv") {
		// firdesign's table to the byte: linear taps summed as firdesign
		// sums them, not read from the spread grid the page's curves are.
		bool spread = eq.spread_linear;
		eq.spread_linear = false;
		a.body = response_table(design_response(eq));
		eq.spread_linear = spread;
	} else {
		a.body = tap_bytes(k->ext,
		                   std::span<const double>(eq.time, static_cast<size_t>(eq.length)),
		                   static_cast<int32_t>(eq.rate));
	}
	a.headers.emplace_back("Content-Disposition", "attachment");
	return a;
}
