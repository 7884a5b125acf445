#include "import.h"

#include "eqapo.h"
#include "fit.h"
#include "rew.h"

#include <cmath>
#include <vector>

namespace
{

// The largest layout firload reads.
constexpr size_t layout_limit = 65534;

} // namespace

input_format detect_format(std::string_view text)
{
	bool data_seen = false;
	while (!text.empty()) {
		std::string_view line = next_line(text);
		size_t first = line.find_first_not_of(" \t");
		if (first == std::string_view::npos)
			continue;
		line.remove_prefix(first);
		if (line[0] == '*' && !data_seen)
			return input_format::rew;
		size_t colon = line.find(':');
		if (colon != std::string_view::npos) {
			std::string_view key = line.substr(0, colon);
			while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
				key.remove_suffix(1);
			if (key == "Preamp" || key.starts_with("Filter") || key == "GraphicEQ")
				return input_format::eqapo;
		}
		data_seen = true;
	}
	return input_format::layout;
}

bool format_named(std::string_view name, input_format &format)
{
	if (name == "layout")
		format = input_format::layout;
	else if (name == "eqapo")
		format = input_format::eqapo;
	else if (name == "rew")
		format = input_format::rew;
	else
		return false;
	return true;
}

bool import_layout(std::string_view text, input_format format, double rate,
                   const correction_options &options, std::string &layout, import_error &err,
                   import_report *report)
{
	if (report != nullptr)
		*report = import_report{};
	std::vector<double> freq = fit_grid(rate), gain;
	gain.reserve(freq.size());
	if (format == input_format::eqapo) {
		eqapo_chain chain;
		if (!parse_eqapo(text, rate, chain, err))
			return false;
		for (double f : freq)
			gain.push_back(eqapo_gain(chain, f, rate));
	} else {
		db_curve measured, target;
		if (!parse_db_curve(text, 3, measured, err))
			return false;
		if (!options.target.empty() && !parse_db_curve(options.target, 2, target, err)) {
			err.file = options.target_name;
			return false;
		}
		correction c = correct(measured, options.target.empty() ? nullptr : &target,
		                       options, rate / 2);
		for (double f : freq)
			gain.push_back(std::pow(10.0, correction_db(c, f) / 20));
	}
	for (double g : gain)
		if (!std::isfinite(g)) {
			err.line = 0;
			err.what = "the curve's gain is not finite";
			return false;
		}
	layout = fit_layout(freq, gain, rate, layout_limit);
	if (layout.empty()) {
		err.line = 0;
		err.what = "the curve needs more than 65534 bytes of layout to stay within 0.1 dB";
		return false;
	}
	return true;
}
