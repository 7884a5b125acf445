#include "import.h"

#include "eqapo.h"
#include "fit.h"
#include "rew.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace
{

// The largest layout firload reads.
constexpr size_t layout_limit = 65534;

// 1024 as "1,024".
std::string grouped(size_t n)
{
	std::string digits = std::to_string(n), out;
	for (size_t i = 0; i < digits.size(); i++) {
		if (i > 0 && (digits.size() - i) % 3 == 0)
			out += ',';
		out += digits[i];
	}
	return out;
}

// "20.0 Hz", "19.9 kHz".
std::string hz(double f)
{
	char text[48];
	if (f >= 1000)
		std::snprintf(text, sizeof text, "%.1f kHz", f / 1000);
	else
		std::snprintf(text, sizeof text, "%.1f Hz", f);
	return text;
}

// "1001 Hz": as given.
std::string exact_hz(double f)
{
	char text[48];
	std::snprintf(text, sizeof text, "%g Hz", f);
	return text;
}

std::string points(size_t n)
{
	return grouped(n) + (n == 1 ? " point" : " points");
}

std::string eqapo_note(const eqapo_chain &chain)
{
	std::string graphic;
	if (!chain.graphic.empty()) {
		size_t nodes = 0;
		double low = HUGE_VAL, high = 0;
		for (const auto &g : chain.graphic) {
			nodes += g.size();
			low = std::min(low, g.front().first);
			high = std::max(high, g.back().first);
		}
		graphic = "GraphicEQ, " + points(nodes) + ", " + hz(low) + " to " + hz(high);
		if (chain.graphic.size() > 1)
			graphic += " on " + std::to_string(chain.graphic.size()) + " lines";
	}
	if (chain.preamps.empty() && chain.filters_on == 0 && !graphic.empty())
		return "source: " + graphic;
	char preamp[48] = "no preamp";
	if (!chain.preamps.empty())
		std::snprintf(preamp, sizeof preamp, "preamp %.1f dB", chain.preamp_db);
	std::string note = "source: Equalizer APO, " + std::string(preamp) + ", " +
	                   std::to_string(chain.filters_on) +
	                   (chain.filters_on == 1 ? " filter" : " filters");
	return graphic.empty() ? note : note + ", " + graphic;
}

std::string smoothing_text(double smooth)
{
	if (!(smooth > 0))
		return "no smoothing";
	char text[48];
	std::snprintf(text, sizeof text, "smoothing 1/%g", smooth);
	return text;
}

} // namespace

input_format detect_format(std::string_view text)
{
	std::string why;
	if (!plain_text(text, why))
		return input_format::eqapo; // whose reader refuses it, saying why
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
	else if (name == "db")
		format = input_format::db;
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
	err = import_error{};
	std::string why;
	if (!plain_text(text, why))
		return failed_at(err, 0, why);

	import_report taken;
	line_log log;
	eqapo_chain chain;
	db_curve curve, measured, target;
	correction c;
	std::function<double(double)> gain;
	std::function<int(double)> line_at = [](double) { return 0; };
	if (format == input_format::eqapo) {
		if (!parse_eqapo(text, rate, chain, err, &log))
			return false;
		gain = [&](double f) { return eqapo_gain(chain, f, rate); };
		line_at = [&](double f) { return eqapo_line_at(chain, f, rate); };
		taken.notes.push_back(eqapo_note(chain));
	} else if (format == input_format::db) {
		if (!parse_db_pairs(text, curve, err, &log))
			return false;
		gain = [&](double f) { return std::pow(10.0, curve_db(curve, f) / 20); };
		line_at = [&](double f) { return curve_line_at(curve, f); };
		taken.notes.push_back("source: curve in dB, " + points(curve.freq.size()) + ", " +
		                      hz(curve.freq.front()) + " to " + hz(curve.freq.back()));
	} else {
		// An empty target file is a target that says nothing, not a flat one.
		bool has_target = !options.target.empty() || !options.target_name.empty();
		std::string_view target_text = options.target;
		if (!parse_db_curve(text, 3, measured, err, &log))
			return false;
		if (has_target && (!plain_text(target_text, why) ||
		                   !parse_db_curve(target_text, 3, target, err))) {
			if (err.what.empty())
				failed_at(err, 0, why);
			err.file = options.target_name.empty() ? "target" : options.target_name;
			return false;
		}
		double low = std::max(options.low, measured.freq.front());
		double high = std::min(options.high, measured.freq.back());
		std::string range = hz(options.low) + " to " + hz(options.high);
		std::string covered = hz(measured.freq.front()) + " to " + hz(measured.freq.back());
		if (!(low < high))
			return failed_at(err, 0,
			                 "the measurement (" + covered +
			                         ") has no data within the range " + range);
		if (correction_points(low, high) < 2)
			return failed_at(err, 0,
			                 "the range " + exact_hz(low) + " to " + exact_hz(high) +
			                         (low > options.low || high < options.high
			                                  ? " where the measurement has data"
			                                  : "") +
			                         " is too narrow for the correction's grid of " +
			                         std::to_string(correction_per_octave) +
			                         " points an octave; widen it");
		c = correct(measured, has_target ? &target : nullptr, options, rate / 2);
		gain = [&](double f) { return std::pow(10.0, correction_db(c, f) / 20); };
		taken.notes.push_back("source: REW measurement, " + points(measured.freq.size()) +
		                      ", " + covered + ", " + smoothing_text(options.smooth) +
		                      ", " +
		                      (has_target ? "target " +
		                                            (options.target_name.empty()
		                                                     ? std::string()
		                                                     : options.target_name + " ") +
		                                            "of " + points(target.freq.size())
		                                  : std::string("flat target")) +
		                      ", range " + range);
		if (low > options.low || high < options.high)
			taken.notes.push_back("correction from " + hz(low) + " to " + hz(high) +
			                      " only, where the measurement has data; fading to "
			                      "none outside");
		for (size_t i = 0; i < c.db.size(); i++) {
			double f = correction_freq(c.first_k + static_cast<int>(i));
			if (f > rate / 2)
				break;
			taken.curve_hz.push_back(f);
			taken.measured_db.push_back(c.smoothed[i]);
			taken.target_db.push_back(c.target[i]);
		}
	}

	gain_batch gains = [&](std::span<const double> f, std::span<double> g) {
		for (size_t i = 0; i < f.size(); i++)
			g[i] = gain(f[i]);
	};
	if (format == input_format::eqapo)
		gains = [&](std::span<const double> f, std::span<double> g) {
			eqapo_gains(chain, f, g, rate);
		};
	fit_result fitted = fit_curve(gains, rate, layout_limit);
	char what[160];
	switch (fitted.status) {
	case fit_status::ok: break;
	case fit_status::too_long:
		return failed_at(
		        err, 0,
		        "the curve needs more than 65534 bytes of layout to stay within 0.1 dB");
	case fit_status::not_finite:
		std::snprintf(what, sizeof what, "the curve's gain at %s is not finite",
		              hz(fitted.at_hz).c_str());
		return failed_at(err, line_at(fitted.at_hz), what);
	case fit_status::too_loud:
		std::snprintf(what, sizeof what,
		              "the curve rises to %+.1f dB at %s, above the %+.0f dB an import may "
		              "reach",
		              20 * std::log10(gain(fitted.at_hz)), hz(fitted.at_hz).c_str(),
		              fit_ceiling_db);
		return failed_at(err, line_at(fitted.at_hz), what);
	case fit_status::too_fast:
		return failed_at(err, 0,
		                 "the curve turns too fast near " + hz(fitted.at_hz) +
		                         " for a layout to follow it within its tolerance");
	}
	layout = std::move(fitted.layout);
	if (report != nullptr) {
		for (const ignored_run &run : log.ignored)
			taken.notes.push_back(ignored_note(run));
		*report = std::move(taken);
	}
	return true;
}
