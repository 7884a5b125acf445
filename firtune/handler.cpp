#include "handler.h"

#include "import.h"
#include "layout.h"
#include "page.h"
#include "response.h"
#include "summary.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <set>

using nlohmann::json;

namespace
{

constexpr size_t import_limit = 16 << 20;
constexpr size_t request_limit = 256 << 10;
// JSON bodies nest no deeper than this; deeper ones are refused before
// parsing.
constexpr int deepest_json = 8;

bool same_letters(std::string_view a, std::string_view b)
{
	return a.size() == b.size() &&
	       std::equal(a.begin(), a.end(), b.begin(),
	                  [](char x, char y) { return (x | 0x20) == (y | 0x20); });
}

// The values of every header called name.
std::vector<std::string_view> header_values(const http_request &r, std::string_view name)
{
	std::vector<std::string_view> out;
	for (const auto &[key, value] : r.headers)
		if (same_letters(key, name))
			out.push_back(value);
	return out;
}

// Compares in time that depends only on the length of expected.
bool same_secret(std::string_view given, std::string_view expected)
{
	unsigned char diff = given.size() == expected.size() ? 0 : 1;
	for (size_t i = 0; i < expected.size(); i++) {
		unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
		diff |= static_cast<unsigned char>(g ^ static_cast<unsigned char>(expected[i]));
	}
	return diff == 0;
}

std::string dumped(const json &j)
{
	return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

http_answer answer(int status, const json &body)
{
	http_answer a;
	a.status = status;
	a.headers.emplace_back("Content-Type", "application/json");
	a.body = dumped(body) + "\n";
	return a;
}

http_answer refusal(int status, std::string_view why, int line = 0)
{
	json body = json::object();
	body["error"] = why;
	if (line > 0)
		body["line"] = line;
	return answer(status, body);
}

json number_or_null(double v)
{
	return std::isfinite(v) ? json(v) : json(nullptr);
}

json db_array(const std::vector<double> &gains)
{
	json out = json::array();
	for (double g : gains)
		out.push_back(number_or_null(to_db(g)));
	return out;
}

// How deep the brackets of text nest, outside strings; stops counting past
// deepest_json.
bool shallow_json(std::string_view text)
{
	int depth = 0;
	bool in_string = false, escaped = false;
	for (char c : text) {
		if (in_string) {
			if (escaped)
				escaped = false;
			else if (c == '\\')
				escaped = true;
			else if (c == '"')
				in_string = false;
		} else if (c == '"') {
			in_string = true;
		} else if (c == '[' || c == '{') {
			if (++depth > deepest_json)
				return false;
		} else if (c == ']' || c == '}') {
			depth--;
		}
	}
	return true;
}

// The body as a JSON object whose fields are all among allowed; else the
// 400 answer in refused.
bool json_body(const http_request &r, std::initializer_list<std::string_view> allowed, json &body,
               http_answer &refused)
{
	if (!shallow_json(r.body)) {
		refused = refusal(400, "the request body nests too deep");
		return false;
	}
	body = json::parse(r.body.begin(), r.body.end(), nullptr, false);
	if (body.is_discarded() || !body.is_object()) {
		refused = refusal(400, "the request body must be a JSON object");
		return false;
	}
	for (const auto &item : body.items()) {
		if (std::find(allowed.begin(), allowed.end(), item.key()) == allowed.end()) {
			refused = refusal(400, "unknown field '" + item.key() + "'");
			return false;
		}
	}
	return true;
}

// A string field of body; absent or of another type refuses with 400.
bool string_field(const json &body, const char *name, std::string &value, http_answer &refused)
{
	auto it = body.find(name);
	if (it == body.end() || !it->is_string()) {
		refused = refusal(400, std::string("'") + name + "' must be a string");
		return false;
	}
	value = it->get_ref<const std::string &>();
	return true;
}

// A layout as firload would read it: without a byte-order mark, up to its
// first NUL, within firload's limit.
bool layout_text(std::string_view given, std::string &layout, http_answer &refused)
{
	std::string why;
	if (!plain_text(given, why)) {
		refused = refusal(422, why);
		return false;
	}
	layout.assign(given);
	layout = layout.c_str();
	if (layout.size() > max_layout) {
		refused = refusal(422, "Too much input data");
		return false;
	}
	return true;
}

// The "channels" field: a non-empty array of channel numbers the part has,
// each once. 400 for wrong types, 422 for channels the part does not have.
bool channel_list(const tune_session &s, const json &body, std::vector<int32_t> &channels,
                  http_answer &refused)
{
	auto it = body.find("channels");
	if (it == body.end() || !it->is_array()) {
		refused = refusal(400, "'channels' must be an array of channel numbers");
		return false;
	}
	std::set<int32_t> seen;
	for (const json &c : *it) {
		if (!c.is_number_integer()) {
			refused = refusal(400, "'channels' must be an array of channel numbers");
			return false;
		}
		bool fits = c.is_number_unsigned() &&
		            c.get<uint64_t>() < static_cast<uint64_t>(s.channels);
		if (!fits) {
			refused = refusal(422, "the part has no channel " + dumped(c) +
			                               " (channels 0 to " +
			                               std::to_string(s.channels - 1) + ")");
			return false;
		}
		auto channel = static_cast<int32_t>(c.get<uint64_t>());
		if (seen.insert(channel).second)
			channels.push_back(channel);
	}
	if (channels.empty()) {
		refused = refusal(422, "no channel given");
		return false;
	}
	return true;
}

http_answer no_device(const tune_session &s)
{
	(void)s;
	return refusal(409, "firtune was started without a device (-d): nothing can be loaded");
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
	s["advice"] = d.advice;
	s["text"] = summary_text(d);
	return s;
}

http_answer get_device(const tune_session &s)
{
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
	if (!s.has_device)
		d["reason"] = "started without a device (-d): design only";
	return answer(200, d);
}

http_answer post_design(tune_session &s, const http_request &r)
{
	json body;
	http_answer refused;
	std::string given, layout;
	if (!json_body(r, {"layout"}, body, refused) ||
	    !string_field(body, "layout", given, refused) || !layout_text(given, layout, refused))
		return refused;
	design_outcome o = design_layout(s.eq, layout);
	if (!o.ok)
		return refusal(422, o.error, o.line);
	response resp = design_response(s.eq);
	json out = json::object();
	out["frequency_hz"] = resp.freq;
	out["requested_db"] = db_array(resp.requested);
	out["achieved_db"] = db_array(resp.achieved);
	out["breakpoints"] = breakpoints(s.eq);
	out["summary"] = summary_json(summarize(s.eq, resp, layout.c_str(), false));
	return answer(200, out);
}

// A non-negative finite number field of options, when present.
bool option_number(const json &options, const char *name, double &value, http_answer &refused)
{
	auto it = options.find(name);
	if (it == options.end() || it->is_null())
		return true;
	if (!it->is_number()) {
		refused = refusal(400, std::string("'") + name + "' must be a number");
		return false;
	}
	double v = it->get<double>();
	if (!std::isfinite(v) || v < 0) {
		refused = refusal(422, std::string("'") + name + "' must be 0 or more");
		return false;
	}
	value = v;
	return true;
}

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
	for (const auto &item : opts.items()) {
		static const std::string_view known[] = {"smooth", "target", "range", "max_boost",
		                                         "max_cut"};
		if (std::find(std::begin(known), std::end(known), item.key()) == std::end(known)) {
			refused = refusal(400, "unknown option '" + item.key() + "'");
			return false;
		}
	}
	if (!option_number(opts, "smooth", o.smooth, refused) ||
	    !option_number(opts, "max_boost", o.max_boost, refused) ||
	    !option_number(opts, "max_cut", o.max_cut, refused))
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

http_answer post_import(tune_session &s, const http_request &r)
{
	json body;
	http_answer refused;
	std::string given;
	if (!json_body(r, {"text", "format", "options"}, body, refused) ||
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

	json out = json::object();
	std::string layout;
	import_report report;
	if (format == input_format::layout) {
		if (!layout_text(text, layout, refused))
			return refused;
	} else {
		import_error err;
		if (!import_layout(text, format, s.rate, options, layout, err, &report)) {
			std::string what = err.file.empty() ? err.what : err.file + ": " + err.what;
			return refusal(422, what, err.line);
		}
	}
	out["layout"] = layout;
	out["notes"] = report.notes;
	size_t points = std::min(
	        {report.curve_hz.size(), report.measured_db.size(), report.target_db.size()});
	if (points > 0) {
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
		std::vector<double> grid = response_grid(s.rate);
		json m = json::object(), md = json::array(), td = json::array();
		for (double hz : grid) {
			md.push_back(number_or_null(curve_db(measured, hz)));
			td.push_back(number_or_null(curve_db(target, hz)));
		}
		m["frequency_hz"] = grid;
		m["measured_db"] = md;
		m["target_db"] = td;
		out["measurement"] = m;
	} else {
		out["measurement"] = nullptr;
	}
	return answer(200, out);
}

// Writes the design now in eq.time (or, with off, the disable request) to
// each channel, one result each.
http_answer write_channels(tune_session &s, const std::vector<int32_t> &channels, bool off)
{
	json results = json::array();
	for (int32_t c : channels) {
		json one = json::object();
		one["channel"] = c;
		std::string why = write_channel(s, c, off ? nullptr : s.eq.time);
		one["written"] = why.empty();
		if (!why.empty())
			one["error"] = why;
		results.push_back(one);
	}
	json out = json::object();
	out["channels"] = results;
	return answer(200, out);
}

http_answer post_load(tune_session &s, const http_request &r, std::string_view what)
{
	if (!s.has_device)
		return no_device(s);
	json body;
	http_answer refused;
	std::vector<int32_t> channels;
	bool load = what == "load";
	if (!json_body(r,
	               load ? std::initializer_list<std::string_view>{"channels", "layout"}
	                    : std::initializer_list<std::string_view>{"channels"},
	               body, refused) ||
	    !channel_list(s, body, channels, refused))
		return refused;
	if (what == "off")
		return write_channels(s, channels, true);
	std::string layout;
	if (load) {
		std::string given;
		if (!string_field(body, "layout", given, refused) ||
		    !layout_text(given, layout, refused))
			return refused;
	}
	// Bypass is the flat design: the same length and delay as any other.
	design_outcome o = design_layout(s.eq, layout);
	if (!o.ok)
		return refusal(422, o.error, o.line);
	return write_channels(s, channels, false);
}

http_answer get_profile(const tune_session &s)
{
	json out = json::object();
	out["path"] = s.profile_path.empty() ? json(nullptr) : json(s.profile_path);
	json channels = json::object();
	for (const auto &[c, text] : s.layouts)
		channels[std::to_string(c)] = text;
	out["channels"] = channels;
	return answer(200, out);
}

http_answer put_profile(tune_session &s, const http_request &r)
{
	if (s.profile_path.empty())
		return refusal(409, "firtune was started without a profile file: start it with "
		                    "one to save");
	json body;
	http_answer refused;
	if (!json_body(r, {"channels"}, body, refused))
		return refused;
	auto it = body.find("channels");
	if (it == body.end() || !it->is_object())
		return refusal(400, "'channels' must be an object of channel numbers and layouts");
	int32_t limit = s.has_device ? s.channels : profile_channel_limit;
	std::map<int32_t, std::string> layouts;
	for (const auto &item : it->items()) {
		const std::string &key = item.key();
		if (!item.value().is_string())
			return refusal(400, "each channel's layout must be a string");
		// The channel number as written in decimal, without leading zeros.
		int32_t channel = 0;
		bool number = !key.empty() && key.size() <= 6 && (key == "0" || key[0] != '0');
		for (char c : key) {
			number = number && c >= '0' && c <= '9';
			channel = number ? channel * 10 + (c - '0') : 0;
		}
		if (!number || channel >= limit)
			return refusal(422, "the part has no channel " + key);
		std::string layout;
		if (!layout_text(item.value().get_ref<const std::string &>(), layout, refused))
			return refused;
		design_outcome o = design_layout(s.eq, layout);
		if (!o.ok)
			return refusal(422, "channel " + key + ": " + o.error, o.line);
		layouts[channel] = std::move(layout);
	}
	std::vector<std::string> files;
	std::string why = save_profile(s, layouts, files);
	if (!why.empty())
		return refusal(500, why);
	json out = json::object();
	out["saved"] = s.profile_path;
	out["files"] = files;
	return answer(200, out);
}

http_answer api(tune_session &s, const http_request &r)
{
	std::string_view p = r.path, m = r.method;
	struct route {
		std::string_view path, method;
	};
	static const route routes[] = {
	        {"/api/device", "GET"},  {"/api/design", "POST"}, {"/api/import", "POST"},
	        {"/api/load", "POST"},   {"/api/bypass", "POST"}, {"/api/off", "POST"},
	        {"/api/profile", "GET"}, {"/api/profile", "PUT"},
	};
	bool known = false;
	for (const route &rt : routes) {
		if (rt.path != p)
			continue;
		known = true;
		if (rt.method != m)
			continue;
		if (p == "/api/device")
			return get_device(s);
		if (p == "/api/design")
			return post_design(s, r);
		if (p == "/api/import")
			return post_import(s, r);
		if (p == "/api/profile")
			return m == "GET" ? get_profile(s) : put_profile(s, r);
		return post_load(s, r, p.substr(5));
	}
	if (known) {
		http_answer a = refusal(405, "method not allowed");
		std::string allow;
		for (const route &rt : routes)
			if (rt.path == p)
				allow += (allow.empty() ? "" : ", ") + std::string(rt.method);
		a.headers.emplace_back("Allow", allow);
		return a;
	}
	return refusal(404, "no such request");
}

http_answer page(const http_request &r)
{
	if (r.method != "GET" && r.method != "HEAD") {
		http_answer a = refusal(405, "method not allowed");
		a.headers.emplace_back("Allow", "GET, HEAD");
		return a;
	}
	std::string_view name = r.path == "/" ? "index.html" : r.path.substr(1);
	for (const page_file &f : page_files()) {
		if (f.name != name)
			continue;
		http_answer a;
		a.headers.emplace_back("Content-Type", std::string(f.type));
		a.body.assign(reinterpret_cast<const char *>(f.data), f.size);
		return a;
	}
	return refusal(404, "no such page");
}

http_answer checked(tune_session &s, const http_request &r)
{
	// Only our own names: a page elsewhere that rebinds its name to this
	// address still sends its own name as Host.
	std::vector<std::string_view> hosts = header_values(r, "Host");
	std::string port = std::to_string(s.port);
	if (hosts.size() != 1 ||
	    (hosts[0] != "127.0.0.1:" + port && hosts[0] != "localhost:" + port))
		return refusal(421, "this server answers only to 127.0.0.1:" + port +
		                            " and localhost:" + port);
	if (!r.path.starts_with("/"))
		return refusal(404, "no such page");
	if (!r.path.starts_with("/api/"))
		return page(r);

	std::vector<std::string_view> auth = header_values(r, "Authorization");
	if (auth.size() != 1 || !auth[0].starts_with("Bearer ") ||
	    !same_secret(auth[0].substr(7), s.token)) {
		http_answer a = refusal(401, "the request needs the token of the address firtune "
		                             "printed");
		a.headers.emplace_back("WWW-Authenticate", "Bearer");
		return a;
	}
	if (r.method != "GET" && r.method != "HEAD") {
		std::vector<std::string_view> origins = header_values(r, "Origin");
		if (origins.size() != 1 || origins[0] != "http://" + std::string(hosts[0]))
			return refusal(403, "a request that changes anything must come from this "
			                    "server's own page");
		std::vector<std::string_view> types = header_values(r, "Content-Type");
		std::string_view type = types.size() == 1 ? types[0] : std::string_view{};
		type = type.substr(0, type.find(';'));
		while (!type.empty() && type.back() == ' ')
			type.remove_suffix(1);
		if (!same_letters(type, "application/json"))
			return refusal(415, "the request body must be application/json");
	}
	return api(s, r);
}

} // namespace

size_t body_limit(std::string_view path)
{
	return path == "/api/import" ? import_limit : request_limit;
}

void add_security_headers(http_answer &a)
{
	a.headers.emplace_back("Content-Security-Policy",
	                       "default-src 'self'; frame-ancestors 'none'");
	a.headers.emplace_back("X-Frame-Options", "DENY");
	a.headers.emplace_back("X-Content-Type-Options", "nosniff");
	a.headers.emplace_back("Cache-Control", "no-store");
	a.headers.emplace_back("Referrer-Policy", "no-referrer");
}

http_answer too_large()
{
	http_answer a = refusal(413, "the request body is too large");
	add_security_headers(a);
	return a;
}

http_answer handle_request(tune_session &s, const http_request &r)
{
	http_answer a = checked(s, r);
	add_security_headers(a);
	return a;
}
