#include "rew.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

namespace
{

bool is_separator(char c)
{
	return c == ' ' || c == '\t' || c == ',' || c == ';';
}

double grid_freq(int k)
{
	return correction_freq(k);
}

} // namespace

double correction_freq(int k)
{
	return std::exp2(static_cast<double>(k) / correction_per_octave);
}

int correction_points(double low, double high)
{
	auto first = static_cast<int>(std::ceil(correction_per_octave * std::log2(low)));
	auto last = static_cast<int>(std::floor(correction_per_octave * std::log2(high)));
	while (grid_freq(first) < low)
		first++;
	while (grid_freq(last) > high)
		last--;
	return std::max(0, last - first + 1);
}

bool parse_db_curve(std::string_view text, size_t columns, db_curve &curve, import_error &err,
                    line_log *log)
{
	curve = db_curve{};
	line_log own;
	line_log &lines = log != nullptr ? *log : own;
	int number = 0;
	bool header_allowed = true;
	while (!text.empty()) {
		std::string line(next_line(text));
		number++;
		size_t first = line.find_first_not_of(" \t");
		if (first == std::string::npos)
			continue;
		if (line[first] == '*' || line[first] == '#') {
			log_ignored(lines, number,
			            line[first] == '*' ? "a header line" : "a comment");
			continue;
		}
		if (header_allowed && std::isalpha(static_cast<unsigned char>(line[first]))) {
			header_allowed = false; // "frequency,raw" and the like
			log_ignored(lines, number, "column names");
			continue;
		}
		header_allowed = false;
		if (line.find(';') != std::string::npos)
			std::replace(line.begin(), line.end(), ',', '.');
		std::vector<double> values;
		const char *p = line.c_str();
		for (;;) {
			while (is_separator(*p))
				p++;
			if (*p == '\0')
				break;
			char *stop = nullptr;
			double v = std::strtod(p, &stop);
			if (stop == p || (*stop != '\0' && !is_separator(*stop)))
				return failed_at(err, number,
				                 "a row holds something that is not a number");
			values.push_back(v);
			p = stop;
		}
		if (values.size() < 2 || values.size() > columns)
			return failed_at(
			        err, number,
			        "a row needs frequency and dB" +
			                std::string(columns > 2 ? " (and at most a phase)" : ""));
		for (size_t i = 0; i < values.size(); i++)
			if (!std::isfinite(values[i]))
				return failed_at(err, number,
				                 "a row holds a number that is not finite");
		if (!(values[0] > 0))
			return failed_at(err, number, "frequencies must be above 0 Hz");
		if (!curve.freq.empty() && !(values[0] > curve.freq.back()))
			return failed_at(err, number, "frequencies must rise from row to row");
		curve.freq.push_back(values[0]);
		curve.db.push_back(values[1]);
		curve.lines.push_back(number);
		log_taken(lines, number);
	}
	if (curve.freq.empty())
		return failed_at(err, 0, "there is no row of frequency and dB");
	if (curve.freq.size() < 2)
		return failed_at(err, std::max(number, 1), "a curve needs two points at least");
	return true;
}

bool parse_db_pairs(std::string_view text, db_curve &curve, import_error &err, line_log *log)
{
	curve = db_curve{};
	line_log own;
	line_log &lines = log != nullptr ? *log : own;
	int number = 0;
	while (!text.empty()) {
		std::string_view line = next_line(text);
		number++;
		size_t hash = line.find('#');
		bool comment = hash != std::string_view::npos;
		line = line.substr(0, hash);
		std::vector<std::string_view> w;
		for (size_t i = 0; i < line.size();) {
			while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
				i++;
			size_t start = i;
			while (i < line.size() && line[i] != ' ' && line[i] != '\t')
				i++;
			if (i > start)
				w.push_back(line.substr(start, i - start));
		}
		if (w.empty()) {
			if (comment)
				log_ignored(lines, number, "a comment");
			continue;
		}
		double hz = 0, db = 0;
		if (w.size() != 2 || !decimal_number(w[0], hz) || !decimal_number(w[1], db))
			return failed_at(err, number,
			                 "a line needs a frequency in Hz and a gain in dB");
		if (!(hz > 0))
			return failed_at(err, number, "frequencies must be above 0 Hz");
		if (!curve.freq.empty() && !(hz > curve.freq.back()))
			return failed_at(err, number, "frequencies must rise from line to line");
		curve.freq.push_back(hz);
		curve.db.push_back(db);
		curve.lines.push_back(number);
		log_taken(lines, number);
	}
	if (curve.freq.empty())
		return failed_at(err, 0, "there is no line of frequency and dB");
	return true;
}

int curve_line_at(const db_curve &curve, double f)
{
	if (curve.freq.empty())
		return 0;
	auto hi = std::upper_bound(curve.freq.begin(), curve.freq.end(), f);
	size_t i = static_cast<size_t>(hi - curve.freq.begin());
	if (i == curve.freq.size())
		return curve.lines.back();
	if (i == 0 || curve.db[i] > curve.db[i - 1])
		return curve.lines[i];
	return curve.lines[i - 1];
}

double curve_db(const db_curve &curve, double f)
{
	if (f <= curve.freq.front())
		return curve.db.front();
	if (f >= curve.freq.back())
		return curve.db.back();
	auto hi = std::upper_bound(curve.freq.begin(), curve.freq.end(), f);
	size_t i = static_cast<size_t>(hi - curve.freq.begin());
	double t = std::log(f / curve.freq[i - 1]) / std::log(curve.freq[i] / curve.freq[i - 1]);
	return curve.db[i - 1] + (curve.db[i] - curve.db[i - 1]) * t;
}

correction correct(const db_curve &measured, const db_curve *target, const correction_options &o,
                   double top)
{
	correction c;
	c.low = std::max(o.low, measured.freq.front());
	c.high = std::min(o.high, measured.freq.back());
	// Grid from an octave below the range (the fade) to past the top, with
	// room for the smoothing window on both sides.
	// Half the smoothing window in grid steps; at most four octaves.
	int half = o.smooth > 0 ? static_cast<int>(std::min(correction_per_octave / (2 * o.smooth),
	                                                    4.0 * correction_per_octave))
	                        : 0;
	int lo_k = static_cast<int>(std::floor(correction_per_octave * (std::log2(c.low) - 1)) - 2);
	int hi_k = static_cast<int>(
	        std::ceil(correction_per_octave * (std::log2(std::max(c.high, top)) + 1)) + 2);
	lo_k = std::max(lo_k, -correction_per_octave * 4); // not below 1/16 Hz
	int from = lo_k - half, to = hi_k + half;
	std::vector<double> power;
	for (int k = from; k <= to; k++)
		power.push_back(std::pow(10.0, curve_db(measured, grid_freq(k)) / 10));

	c.first_k = lo_k;
	for (int k = lo_k; k <= hi_k; k++) {
		double sum = 0;
		for (int j = k - half; j <= k + half; j++)
			sum += power[static_cast<size_t>(j - from)];
		c.smoothed.push_back(10 * std::log10(sum / (2 * half + 1)));
	}

	// The target, shifted so both means over the range agree.
	double mean_measured = 0, mean_target = 0;
	int count = 0;
	for (int k = lo_k; k <= hi_k; k++) {
		double f = grid_freq(k);
		if (f < c.low || f > c.high)
			continue;
		mean_measured += c.smoothed[static_cast<size_t>(k - lo_k)];
		mean_target += target != nullptr ? curve_db(*target, f) : 0.0;
		count++;
	}
	double shift = count > 0 ? (mean_measured - mean_target) / count : 0.0;

	for (int k = lo_k; k <= hi_k; k++) {
		double f = grid_freq(k);
		double want = (target != nullptr ? curve_db(*target, f) : 0.0) + shift;
		c.target.push_back(want);
		double db = std::clamp(want - c.smoothed[static_cast<size_t>(k - lo_k)], -o.max_cut,
		                       o.max_boost);
		// Raised-cosine fade over an octave outside the range: gentle
		// enough for the taps to follow.
		double outside = f < c.low    ? std::log2(c.low / f)
		                 : f > c.high ? std::log2(f / c.high)
		                              : 0;
		double x = std::min(outside, 1.0);
		c.db.push_back(db * 0.5 * (1 + std::cos(3.141592653589793 * x)));
	}
	return c;
}

double correction_db(const correction &c, double f)
{
	double k = correction_per_octave * std::log2(f) - c.first_k;
	if (!(k > 0))
		return c.db.front();
	auto i = static_cast<size_t>(k);
	if (i + 1 >= c.db.size())
		return c.db.back();
	double t = k - static_cast<double>(i);
	return c.db[i] + (c.db[i + 1] - c.db[i]) * t;
}

bool parse_range(std::string_view text, double &low, double &high)
{
	std::string copy(text);
	const char *start = copy.c_str();
	char *end = nullptr;
	double lo = std::strtod(start, &end);
	if (end == start || *end != ':')
		return false;
	const char *second = end + 1;
	double hi = std::strtod(second, &end);
	if (end == second || *end != '\0' || !std::isfinite(lo) || !std::isfinite(hi) ||
	    !(lo > 0) || !(hi > lo))
		return false;
	low = lo;
	high = hi;
	return true;
}
