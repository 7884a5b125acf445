#include "fields.h"

#include "import.h"
#include "layout.h"
#include "session.h"
#include "text.h"

#include <algorithm>
#include <cmath>
#include <set>

using nlohmann::json;

namespace
{

// JSON bodies nest no deeper than this; deeper ones are refused before
// parsing.
constexpr int deepest_json = 8;

// Whether the brackets of text, outside strings, nest no deeper than
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

} // namespace

bool json_object(std::string_view text, field_names allowed, json &object, http_answer &refused)
{
	if (!shallow_json(text)) {
		refused = refusal(400, "the request body nests too deep");
		return false;
	}
	object = json::parse(text.begin(), text.end(), nullptr, false);
	if (object.is_discarded() || !object.is_object()) {
		refused = refusal(400, "the request body must be a JSON object");
		return false;
	}
	return known_fields(object, allowed, "field", refused);
}

bool known_fields(const json &object, field_names allowed, std::string_view what,
                  http_answer &refused)
{
	for (const auto &item : object.items()) {
		if (std::find(allowed.begin(), allowed.end(), item.key()) == allowed.end()) {
			refused = refusal(400,
			                  "unknown " + std::string(what) + " '" + item.key() + "'");
			return false;
		}
	}
	return true;
}

bool string_field(const json &object, const char *name, std::string &value, http_answer &refused)
{
	auto it = object.find(name);
	if (it == object.end() || !it->is_string()) {
		refused = refusal(400, std::string("'") + name + "' must be a string");
		return false;
	}
	value = it->get_ref<const std::string &>();
	return true;
}

bool optional_bool(const json &object, const char *name, bool &value, http_answer &refused)
{
	auto it = object.find(name);
	if (it == object.end() || it->is_null())
		return true;
	if (!it->is_boolean()) {
		refused = refusal(400, std::string("'") + name + "' must be true or false");
		return false;
	}
	value = it->get<bool>();
	return true;
}

bool optional_phase(const json &object, eq_phase &phase, http_answer &refused)
{
	auto it = object.find("phase");
	if (it == object.end() || it->is_null())
		return true;
	if (!it->is_string()) {
		refused = refusal(400, "'phase' must be \"linear\" or \"minimum\"");
		return false;
	}
	const std::string &name = it->get_ref<const std::string &>();
	if (name != "linear" && name != "minimum") {
		refused = refusal(422, "'phase' must be \"linear\" or \"minimum\"");
		return false;
	}
	phase = name == "minimum" ? eq_phase::minimum : eq_phase::linear;
	return true;
}

bool optional_number(const json &object, const char *name, double &value, http_answer &refused)
{
	auto it = object.find(name);
	if (it == object.end() || it->is_null())
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

bool design_input(const json &object, double rate, std::string &layout, http_answer &refused,
                  import_memo *memo)
{
	bool has_layout = object.contains("layout"), has_source = object.contains("source");
	if (has_layout == has_source) {
		refused = refusal(400, "give either 'layout' or 'source'");
		return false;
	}
	std::string given;
	if (has_layout) {
		if (object.contains("format")) {
			refused = refusal(400, "'format' goes with 'source'");
			return false;
		}
		return string_field(object, "layout", given, refused) &&
		       layout_text(given, layout, refused);
	}
	if (!string_field(object, "source", given, refused))
		return false;
	if (given.size() > max_layout) {
		refused = refusal(422, "Too much input data");
		return false;
	}
	design_outcome o;
	bool made = false;
	auto f = object.find("format");
	if (f == object.end() || f->is_null()) {
		made = source_layout(given, rate, layout, o, memo);
	} else {
		input_format format = input_format::layout;
		if (!f->is_string() || !format_named(f->get_ref<const std::string &>(), format) ||
		    (format != input_format::layout && format != input_format::eqapo)) {
			refused = refusal(400, "'format' must be \"layout\", \"eqapo\" or null");
			return false;
		}
		made = source_layout(given, format, rate, layout, o, memo);
	}
	if (!made)
		refused = refusal(422, o.error, o.line);
	return made;
}

bool channel_list(const json &object, int32_t count, std::vector<int32_t> &channels,
                  http_answer &refused)
{
	auto it = object.find("channels");
	if (it == object.end() || !it->is_array()) {
		refused = refusal(400, "'channels' must be an array of channel numbers");
		return false;
	}
	std::set<int32_t> seen;
	for (const json &c : *it) {
		if (!c.is_number_integer()) {
			refused = refusal(400, "'channels' must be an array of channel numbers");
			return false;
		}
		bool fits =
		        c.is_number_unsigned() && c.get<uint64_t>() < static_cast<uint64_t>(count);
		if (!fits) {
			refused = refusal(422, "the part has no channel " + dumped(c) +
			                               " (channels 0 to " +
			                               std::to_string(count - 1) + ")");
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
