#include "eqapo.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <cstdlib>
#include <limits>
#include <string>

namespace
{

using std::numbers::pi;

std::vector<std::string> words(std::string_view s)
{
	std::vector<std::string> out;
	size_t i = 0;
	while (i < s.size()) {
		while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
			i++;
		size_t start = i;
		while (i < s.size() && s[i] != ' ' && s[i] != '\t')
			i++;
		if (i > start)
			out.emplace_back(s.substr(start, i - start));
	}
	return out;
}

// The number at the start of text and what follows it. Frequencies take
// the thousands rule of REW's exports: at least five characters, no
// exponent, exactly three digits after the point ("8.000" is 8000).
bool leading_number(const std::string &text, double &value, std::string &rest, bool frequency)
{
	const char *begin = text.c_str();
	char *end = nullptr;
	value = std::strtod(begin, &end);
	if (end == begin)
		return false;
	std::string digits(begin, static_cast<size_t>(end - begin));
	rest = std::string(end);
	size_t point = digits.find('.');
	if (frequency && digits.size() >= 5 && digits.find_first_of("eExX") == std::string::npos &&
	    point != std::string::npos && digits.size() - point - 1 == 3 &&
	    digits.find_first_not_of("0123456789", point + 1) == std::string::npos) {
		digits.erase(point, 1);
		value = std::strtod(digits.c_str(), nullptr);
	}
	return true;
}

enum class kind { peaking, low_pass, high_pass, band_pass, notch, all_pass, low_shelf, high_shelf };

struct type_row {
	std::string_view name;
	kind k;
	bool corner; // LS/HS: a Q or slope makes Fc a corner frequency
};

const type_row types[] = {
        {"PK", kind::peaking, false},    {"PEQ", kind::peaking, false},
        {"Modal", kind::peaking, false}, {"LP", kind::low_pass, false},
        {"LPQ", kind::low_pass, false},  {"HP", kind::high_pass, false},
        {"HPQ", kind::high_pass, false}, {"BP", kind::band_pass, false},
        {"NO", kind::notch, false},      {"AP", kind::all_pass, false},
        {"LSC", kind::low_shelf, false}, {"HSC", kind::high_shelf, false},
        {"LS", kind::low_shelf, true},   {"HS", kind::high_shelf, true},
};

const std::string_view refused_keys[] = {"Include", "Channel", "Device",      "Stage",
                                         "Copy",    "Delay",   "Convolution", "If",
                                         "ElseIf",  "Else",    "EndIf",       "Eval"};

// Not given: Fc and Gain have no default.
constexpr double unset = std::numeric_limits<double>::quiet_NaN();

struct filter_line {
	const type_row *type = nullptr;
	double fc = unset, gain = unset, q = 0, bw = 0, slope = 0;
};

// The unit after a number, possibly split by blanks ("100H z"): what was
// left of the number's word, then whole words while they still spell unit.
bool take_unit(const std::vector<std::string> &w, size_t &i, std::string rest,
               std::string_view unit)
{
	while (rest != unit && i < w.size() && unit.starts_with(rest + w[i]))
		rest += w[i++];
	return rest.empty() || rest == unit;
}

bool fail(import_error &err, std::string what)
{
	err.what = std::move(what);
	return false;
}

std::string show(double v)
{
	char text[64];
	std::snprintf(text, sizeof text, "%g", v);
	return text;
}

// The words of a Filter value after ON and the type word.
bool read_fields(const std::vector<std::string> &w, size_t i, filter_line &f, import_error &err)
{
	auto number = [&](const char *field, double &value, bool frequency, std::string_view unit) {
		if (i >= w.size())
			return fail(err, std::string(field) + " needs a number");
		std::string rest;
		if (!leading_number(w[i], value, rest, frequency))
			return fail(err,
			            std::string(field) + " needs a number, not '" + w[i] + "'");
		i++;
		if (!std::isfinite(value))
			return fail(err, std::string(field) + " is not a finite number");
		if (!take_unit(w, i, rest, unit))
			return fail(err, std::string(field) + " has a stray '" + rest + "'");
		return true;
	};
	// A slope may follow the type word directly: "LS 6dB", "LSC 10.8 dB".
	if (i < w.size()) {
		double v;
		std::string rest;
		if (leading_number(w[i], v, rest, false) &&
		    (rest == "dB" || (rest.empty() && i + 1 < w.size() && w[i + 1] == "dB"))) {
			i += rest.empty() ? 2u : 1u;
			if (!std::isfinite(v))
				return fail(err, "the slope is not a finite number");
			f.slope = v;
		}
	}
	while (i < w.size()) {
		const std::string &key = w[i++];
		if (key == "Fc") {
			if (!number("Fc", f.fc, true, "Hz"))
				return false;
		} else if (key == "Gain") {
			if (!number("Gain", f.gain, false, "dB"))
				return false;
		} else if (key == "Q") {
			if (!number("Q", f.q, false, ""))
				return false;
		} else if (key == "BW") {
			if (i >= w.size() || w[i] != "Oct")
				return fail(err, "BW must be followed by Oct");
			i++;
			if (!number("BW Oct", f.bw, false, ""))
				return false;
		} else if (key == "T60") {
			break; // a modal filter's decay target: no part of the magnitude
		} else {
			return fail(err, "unexpected '" + key + "' in the filter");
		}
	}
	return true;
}

// Coefficients of one filter at rate Hz; false with err for settings that
// give no honest magnitude.
bool design(const filter_line &f, double rate, std::vector<biquad> &out, import_error &err)
{
	kind k = f.type->k;
	std::string name(f.type->name);
	if (std::isnan(f.fc))
		return fail(err, name + " needs Fc");
	if (!(f.fc > 0) || !(f.fc < rate / 2))
		return fail(err, "Fc " + show(f.fc) +
		                         " Hz is not above 0 and below half the rate (" +
		                         show(rate / 2) + " Hz)");
	bool shelf = k == kind::low_shelf || k == kind::high_shelf;
	if ((k == kind::peaking || shelf) && std::isnan(f.gain))
		return fail(err, name + " needs Gain");
	if (f.q < 0 || f.bw < 0 || f.slope < 0)
		return fail(err, "Q, BW and slope must be above 0");
	double gain = std::isnan(f.gain) ? 0 : f.gain;
	double a = std::pow(10.0, gain / 40);
	double f0 = f.fc;

	if (shelf) {
		// BW is ignored on shelves. The slope form, S = 0.9 by default.
		double s = f.slope > 0 ? f.slope / 12 : 0.9;
		bool q_form = f.q > 0 && f.slope == 0;
		if (f.type->corner && (f.q > 0 || f.slope > 0)) {
			if (q_form)
				s = 1 / ((1 / (f.q * f.q) - 2) / (a + 1 / a) + 1);
			if (gain == 0)
				return true; // a flat shelf, wherever its corner
			if (!(s > 0) || !std::isfinite(s))
				return fail(err, "Q " + show(f.q) + " gives this shelf no slope");
			double shift = std::pow(10.0, std::fabs(gain) / (80 * s));
			f0 = k == kind::low_shelf ? f0 * shift : f0 / shift;
			q_form = false;
			if (!(f0 < rate / 2))
				return fail(err, "the shelf's midpoint lies beyond half the rate");
		}
		double w0 = 2 * pi * f0 / rate, c = std::cos(w0), sn = std::sin(w0);
		double alpha;
		if (q_form) {
			alpha = sn / (2 * f.q);
		} else {
			double inside = (a + 1 / a) * (1 / s - 1) + 2;
			if (!(inside >= 0))
				return fail(err, "the slope is too steep for this gain");
			alpha = sn / 2 * std::sqrt(inside);
		}
		double r = 2 * std::sqrt(a) * alpha;
		if (k == kind::low_shelf)
			out.push_back({a * ((a + 1) - (a - 1) * c + r),
			               2 * a * ((a - 1) - (a + 1) * c),
			               a * ((a + 1) - (a - 1) * c - r), (a + 1) + (a - 1) * c + r,
			               -2 * ((a - 1) + (a + 1) * c), (a + 1) + (a - 1) * c - r});
		else
			out.push_back({a * ((a + 1) + (a - 1) * c + r),
			               -2 * a * ((a - 1) + (a + 1) * c),
			               a * ((a + 1) + (a - 1) * c - r), (a + 1) - (a - 1) * c + r,
			               2 * ((a - 1) - (a + 1) * c), (a + 1) - (a - 1) * c - r});
		return true;
	}

	double q = f.q;
	if (q == 0 && f.bw == 0) {
		switch (k) {
		case kind::peaking: return fail(err, name + " needs Q or BW Oct");
		case kind::all_pass: return fail(err, "AP needs Q");
		case kind::notch: q = 30; break;
		default: q = 0.7071; break;
		}
	}
	if (k == kind::all_pass)
		return true; // magnitude 1 everywhere
	double w0 = 2 * pi * f0 / rate, c = std::cos(w0), sn = std::sin(w0);
	double alpha = q > 0 ? sn / (2 * q) : sn * std::sinh(std::log(2.0) / 2 * f.bw * w0 / sn);
	switch (k) {
	case kind::peaking:
		out.push_back({1 + alpha * a, -2 * c, 1 - alpha * a, 1 + alpha / a, -2 * c,
		               1 - alpha / a});
		break;
	case kind::low_pass:
		out.push_back({(1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha});
		break;
	case kind::high_pass:
		out.push_back({(1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha});
		break;
	case kind::band_pass:
		out.push_back({alpha, 0, -alpha, 1 + alpha, -2 * c, 1 - alpha});
		break;
	case kind::notch: out.push_back({1, -2 * c, 1, 1 + alpha, -2 * c, 1 - alpha}); break;
	default: break;
	}
	return true;
}

// Reads one Filter value; a filter that is off or an empty slot sets
// skipped instead of adding anything.
bool read_filter(std::string value, double rate, eqapo_chain &chain, import_error &err,
                 std::string &skipped)
{
	std::replace(value.begin(), value.end(), ',', '.');
	std::vector<std::string> w = words(value);
	if (w.empty() || (w[0] != "ON" && w[0] != "OFF"))
		return fail(err, "a filter starts with ON or OFF");
	if (w[0] == "OFF") {
		skipped = "the filter is OFF";
		return true;
	}
	if (w.size() < 2)
		return fail(err, "the filter has no type");
	if (w[1] == "None") {
		skipped = "an empty filter slot (None)";
		return true;
	}
	if (w[1] == "IIR")
		return fail(err, "IIR filters are not supported: their coefficients hold for one "
		                 "rate only");
	filter_line f;
	for (const type_row &t : types)
		if (t.name == w[1])
			f.type = &t;
	if (f.type == nullptr)
		return fail(err, "unknown filter type '" + w[1] + "'");
	if (!read_fields(w, 2, f, err) || !design(f, rate, chain.filters, err))
		return false;
	chain.filters_on++;
	chain.filter_lines.resize(chain.filters.size(), err.line);
	return true;
}

bool read_preamp(std::string value, eqapo_chain &chain, import_error &err)
{
	std::replace(value.begin(), value.end(), ',', '.');
	std::vector<std::string> w = words(value);
	double db;
	std::string rest;
	size_t i = 1;
	if (w.empty() || !leading_number(w[0], db, rest, false) || !take_unit(w, i, rest, "dB") ||
	    i != w.size())
		return fail(err, "Preamp needs a gain in dB");
	if (!std::isfinite(db))
		return fail(err, "Preamp is not a finite number");
	chain.preamp_db += db;
	chain.preamps.emplace_back(err.line, db);
	return true;
}

// Each ';'-separated entry is a frequency and a gain in dB, two numbers
// and nothing else; a ';' may end the list. An empty list sets skipped.
bool read_graphic(std::string value, eqapo_chain &chain, import_error &err, std::string &skipped)
{
	if (value.find('.') == std::string::npos)
		std::replace(value.begin(), value.end(), ',', '.');
	std::vector<std::string_view> items;
	for (std::string_view rest = value;;) {
		size_t semicolon = rest.find(';');
		items.push_back(trimmed(rest.substr(0, semicolon)));
		if (semicolon == std::string_view::npos)
			break;
		rest.remove_prefix(semicolon + 1);
	}
	if (items.size() > 1 && items.back().empty())
		items.pop_back(); // a ';' may end the list
	std::vector<std::pair<double, double>> nodes;
	for (size_t i = 0; i < items.size(); i++) {
		if (items.size() == 1 && items[i].empty())
			break;
		std::vector<std::string> w = words(items[i]);
		double hz = 0, db = 0;
		if (w.size() != 2 || !decimal_number(w[0], hz) || !decimal_number(w[1], db))
			return fail(err, "GraphicEQ entry " + std::to_string(i + 1) + " ('" +
			                         std::string(items[i]) +
			                         "') is not two numbers, frequency and dB");
		if (!(hz > 0))
			return fail(err, "GraphicEQ frequency " + show(hz) + " is not above 0");
		nodes.emplace_back(hz, db);
	}
	if (nodes.empty()) {
		skipped = "a GraphicEQ without entries";
		return true;
	}
	std::stable_sort(nodes.begin(), nodes.end(),
	                 [](const auto &x, const auto &y) { return x.first < y.first; });
	chain.graphic.push_back(std::move(nodes));
	chain.graphic_lines.push_back(err.line);
	return true;
}

double graphic_db(const std::vector<std::pair<double, double>> &nodes, double f)
{
	if (f <= nodes.front().first)
		return nodes.front().second;
	if (f >= nodes.back().first)
		return nodes.back().second;
	auto hi = std::upper_bound(nodes.begin(), nodes.end(), f,
	                           [](double x, const auto &n) { return x < n.first; });
	auto lo = hi - 1;
	double t = std::log(f / lo->first) / std::log(hi->first / lo->first);
	return lo->second + (hi->second - lo->second) * t;
}

} // namespace

namespace
{

// The cookbook's form in phi = sin^2(w/2), accurate at low frequencies;
// above rate/4 the same form mirrored about rate/4, in psi = cos^2(w/2)
// and with b1, a1 negated, which stays accurate up to rate/2 where the
// first form cancels to nothing. The angle's part is the same for every
// biquad of a chain at f: worked out once.
struct biquad_angle {
	double phi, sign;
};

biquad_angle angle_at(double f, double rate)
{
	double w = pi * f / rate;
	bool high = f > rate / 4;
	double s = high ? std::cos(w) : std::sin(w);
	return {s * s, high ? -1.0 : 1.0};
}

double biquad_gain_at(const biquad &q, biquad_angle at)
{
	double phi = at.phi, sign = at.sign;
	auto power = [phi](double x0, double x1, double x2) {
		double sum = x0 + x1 + x2;
		return sum * sum - 4 * (x0 * x1 + 4 * x0 * x2 + x1 * x2) * phi +
		       16 * x0 * x2 * phi * phi;
	};
	return std::sqrt(
	        std::fabs(power(q.b0, sign * q.b1, q.b2) / power(q.a0, sign * q.a1, q.a2)));
}

// The coefficients of power() below for x0, x1, x2, in its order of
// operations.
void power_terms(double x0, double x1, double x2, double out[3])
{
	double sum = x0 + x1 + x2;
	out[0] = sum * sum;
	out[1] = 4 * (x0 * x1 + 4 * x0 * x2 + x1 * x2);
	out[2] = 16 * x0 * x2;
}

biquad_powers powers_of(const biquad &q)
{
	biquad_powers p{};
	for (int high = 0; high < 2; high++) {
		double sign = high ? -1.0 : 1.0;
		power_terms(q.b0, sign * q.b1, q.b2, p.num[high]);
		power_terms(q.a0, sign * q.a1, q.a2, p.den[high]);
	}
	return p;
}

double powers_gain(const biquad_powers &p, biquad_angle at)
{
	int high = at.sign < 0 ? 1 : 0;
	double phi = at.phi;
	const double *n = p.num[high], *d = p.den[high];
	return std::sqrt(std::fabs((n[0] - n[1] * phi + n[2] * phi * phi) /
	                           (d[0] - d[1] * phi + d[2] * phi * phi)));
}

} // namespace

double biquad_gain(const biquad &q, double f, double rate)
{
	return biquad_gain_at(q, angle_at(f, rate));
}

bool parse_eqapo(std::string_view text, double rate, eqapo_chain &chain, import_error &err,
                 line_log *log)
{
	chain = eqapo_chain{};
	line_log own;
	line_log &lines = log != nullptr ? *log : own;
	int number = 0;
	while (!text.empty()) {
		std::string_view line = next_line(text);
		number++;
		size_t colon = line.find(':');
		if (colon == std::string_view::npos) {
			std::string_view what = trimmed(line);
			if (!what.empty())
				log_ignored(lines, number, what[0] == '#' ? "a comment" : "no key");
			continue;
		}
		std::string_view key = trimmed(line.substr(0, colon));
		std::string value(line.substr(colon + 1));
		err.line = number;
		bool ok = true;
		std::string skipped;
		if (key == "Preamp")
			ok = read_preamp(value, chain, err);
		else if (key.starts_with("Filter"))
			ok = read_filter(value, rate, chain, err, skipped);
		else if (key == "GraphicEQ")
			ok = read_graphic(value, chain, err, skipped);
		else if (std::find(std::begin(refused_keys), std::end(refused_keys), key) !=
		         std::end(refused_keys))
			ok = fail(
			        err,
			        "'" + std::string(key) +
			                "' routes or adds processing that a curve cannot express");
		else
			skipped = key.starts_with("#") ? "a comment"
			                               : "unknown key '" + std::string(key) + "'";
		if (!ok)
			return false;
		if (skipped.empty())
			log_taken(lines, number);
		else
			log_ignored(lines, number, skipped);
	}
	err.line = 0;
	for (const biquad &q : chain.filters)
		chain.powers.push_back(powers_of(q));
	chain.preamp_gain = std::pow(10.0, chain.preamp_db / 20);
	return true;
}

double eqapo_gain(const eqapo_chain &chain, double f, double rate)
{
	double gain = chain.preamp_gain;
	if (!chain.graphic.empty() || chain.powers.size() != chain.filters.size()) {
		double db = chain.preamp_db;
		for (const auto &nodes : chain.graphic)
			db += graphic_db(nodes, f);
		gain = std::pow(10.0, db / 20);
	}
	if (chain.filters.empty())
		return gain;
	biquad_angle at = angle_at(f, rate);
	if (chain.powers.size() == chain.filters.size()) {
		for (const biquad_powers &p : chain.powers)
			gain *= powers_gain(p, at);
		return gain;
	}
	for (const biquad &q : chain.filters)
		gain *= biquad_gain_at(q, at);
	return gain;
}

void eqapo_gains(const eqapo_chain &chain, std::span<const double> f, std::span<double> out,
                 double rate)
{
	if (!chain.graphic.empty() || chain.powers.size() != chain.filters.size() ||
	    chain.filters.empty()) {
		for (size_t i = 0; i < f.size(); i++)
			out[i] = eqapo_gain(chain, f[i], rate);
		return;
	}
	// The angle's part at each frequency, and which form it takes.
	std::vector<double> phi(f.size());
	std::vector<unsigned char> high(f.size());
	for (size_t i = 0; i < f.size(); i++) {
		biquad_angle at = angle_at(f[i], rate);
		phi[i] = at.phi;
		high[i] = at.sign < 0 ? 1 : 0;
		out[i] = chain.preamp_gain;
	}
	// powers_gain over each run of points of one form, its coefficients
	// fixed.
	for (const biquad_powers &p : chain.powers)
		for (size_t start = 0, end = 0; start < f.size(); start = end) {
			int h = high[start];
			while (end < f.size() && high[end] == h)
				end++;
			const double *n = p.num[h], *d = p.den[h];
			double n0 = n[0], n1 = n[1], n2 = n[2], d0 = d[0], d1 = d[1], d2 = d[2];
			auto ratio = [&](double x) {
				return (n0 - n1 * x + n2 * x * x) / (d0 - d1 * x + d2 * x * x);
			};
			// Two points a step, which the compiler may work out side by
			// side: each is still its own correctly rounded operations.
			size_t i = start;
			for (; i + 2 <= end; i += 2) {
				double q0 = ratio(phi[i]), q1 = ratio(phi[i + 1]);
				out[i] *= std::sqrt(std::fabs(q0));
				out[i + 1] *= std::sqrt(std::fabs(q1));
			}
			if (i < end)
				out[i] *= std::sqrt(std::fabs(ratio(phi[i])));
		}
}

int eqapo_line_at(const eqapo_chain &chain, double f, double rate)
{
	int line = 0;
	double most = -HUGE_VAL;
	auto consider = [&](int at, double db) {
		if (!std::isfinite(db) && !(db < 0)) {
			db = HUGE_VAL; // inf or nan: the part at fault
			if (most == HUGE_VAL)
				return;
		}
		if (line == 0 || db > most) {
			most = db;
			line = at;
		}
	};
	for (const auto &[at, db] : chain.preamps)
		consider(at, db);
	for (size_t i = 0; i < chain.graphic.size(); i++)
		consider(chain.graphic_lines[i], graphic_db(chain.graphic[i], f));
	for (size_t i = 0; i < chain.filters.size(); i++)
		consider(chain.filter_lines[i],
		         20 * std::log10(biquad_gain(chain.filters[i], f, rate)));
	return line;
}
