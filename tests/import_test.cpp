// The importers: the cookbook's magnitudes, Equalizer APO's reading rules,
// what is refused, a correction worked out by hand, and layouts that stay
// within their tolerance of the source between their breakpoints.
#include "eqapo.h"
#include "fit.h"
#include "import.h"
#include "miccal.h"
#include "rew.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace
{

const double rate = 48000;
const double pi = 3.14159265358979323846;

double db(double g)
{
	return 20 * std::log10(g);
}

double gain_of(const std::string &config, double f)
{
	eqapo_chain chain;
	import_error err;
	EXPECT_TRUE(parse_eqapo(config, rate, chain, err)) << config << ": " << err.what;
	return eqapo_gain(chain, f, rate);
}

// |H| of the cookbook biquad with the given coefficients, by complex
// arithmetic on z = e^(jw).
double direct(double b0, double b1, double b2, double a0, double a1, double a2, double f)
{
	std::complex<double> z1 = std::polar(1.0, -2 * pi * f / rate), z2 = z1 * z1;
	return std::abs((b0 + b1 * z1 + b2 * z2) / (a0 + a1 * z1 + a2 * z2));
}

// The cookbook filters written out afresh: peaking, low and high pass,
// band pass, notch, and both shelves (Q form; slope S through its alpha).
double cookbook(const std::string &type, double f0, double g, double q, double f)
{
	double a = std::pow(10, g / 40), w = 2 * pi * f0 / rate, c = std::cos(w);
	double al = std::sin(w) / (2 * q), r = 2 * std::sqrt(a) * al;
	if (type == "PK")
		return direct(1 + al * a, -2 * c, 1 - al * a, 1 + al / a, -2 * c, 1 - al / a, f);
	if (type == "LP")
		return direct((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + al, -2 * c, 1 - al, f);
	if (type == "HP")
		return direct((1 + c) / 2, -1 - c, (1 + c) / 2, 1 + al, -2 * c, 1 - al, f);
	if (type == "BP")
		return direct(al, 0, -al, 1 + al, -2 * c, 1 - al, f);
	if (type == "NO")
		return direct(1, -2 * c, 1, 1 + al, -2 * c, 1 - al, f);
	if (type == "LSC")
		return direct(a * (a + 1 - (a - 1) * c + r), 2 * a * (a - 1 - (a + 1) * c),
		              a * (a + 1 - (a - 1) * c - r), a + 1 + (a - 1) * c + r,
		              -2 * (a - 1 + (a + 1) * c), a + 1 + (a - 1) * c - r, f);
	return direct(a * (a + 1 + (a - 1) * c + r), -2 * a * (a - 1 + (a + 1) * c),
	              a * (a + 1 + (a - 1) * c - r), a + 1 - (a - 1) * c + r,
	              2 * (a - 1 - (a + 1) * c), a + 1 - (a - 1) * c - r, f);
}

// The points of a layout, and its gain at f as firload reads it: flat
// below the first point, linear in Hz between points.
std::vector<std::pair<double, double>> points_of(const std::string &layout)
{
	std::vector<std::pair<double, double>> points;
	std::istringstream in(layout);
	for (double f, g; in >> f >> g;)
		points.emplace_back(f, g);
	return points;
}

double layout_gain(const std::vector<std::pair<double, double>> &p, double f)
{
	if (f <= p.front().first)
		return p.front().second;
	for (size_t i = 1; i < p.size(); i++)
		if (f <= p[i].first)
			return p[i - 1].second +
			       (p[i].second - p[i - 1].second) *
			               ((f - p[i - 1].first) / (p[i].first - p[i - 1].first));
	return p.back().second;
}

// Q of the slope form: 1/Q^2 = (A + 1/A)(1/S - 1) + 2.
double slope_q(double g, double s)
{
	double a = std::pow(10, g / 40);
	return 1 / std::sqrt((a + 1 / a) * (1 / s - 1) + 2);
}

} // namespace

TEST(Eqapo, CookbookMagnitudes)
{
	struct row {
		const char *line;
		const char *type;
		double f0, g, q;
	} rows[] = {
	        {"Filter: ON PK Fc 1000 Hz Gain -6 dB Q 2", "PK", 1000, -6, 2},
	        {"Filter: ON PEQ Fc 60 Hz Gain 4.5 dB Q 9", "PK", 60, 4.5, 9},
	        {"Filter: ON LP Fc 5000 Hz", "LP", 5000, 0, 0.7071},
	        {"Filter: ON HPQ Fc 80 Hz Q 1.2", "HP", 80, 0, 1.2},
	        {"Filter: ON BP Fc 700 Hz Q 3", "BP", 700, 0, 3},
	        {"Filter: ON NO Fc 2000 Hz", "NO", 2000, 0, 30},
	        {"Filter: ON LSC Fc 105 Hz Gain 6 dB Q 0.7", "LSC", 105, 6, 0.7},
	        {"Filter: ON HSC Fc 8000 Hz Gain -3 dB Q 0.7", "HSC", 8000, -3, 0.7},
	        {"Filter: ON LSC 10.8 dB Fc 200 Hz Gain 5 dB", "LSC", 200, 5, slope_q(5, 0.9)},
	        {"Filter: ON HS Fc 3000 Hz Gain 4 dB", "HSC", 3000, 4, slope_q(4, 0.9)},
	        {"Filter: ON LS 12dB Fc 300 Hz Gain -6 dB", "LSC", 300 * std::pow(10, 6 / 80.0), -6,
	         slope_q(-6, 1)},
	        {"Filter: ON HS Fc 4000 Hz Gain 6 dB Q 0.8", "HSC", 0, 6, 0.8},
	};
	for (row &r : rows) {
		if (r.f0 == 0) {
			// A high shelf's corner with a Q: midpoint Fc / 10^(G/(80 S)).
			double a = std::pow(10, r.g / 40);
			double s = 1 / ((1 / (r.q * r.q) - 2) / (a + 1 / a) + 1);
			r.f0 = 4000 / std::pow(10, r.g / (80 * s));
		}
		for (double f : {31.0, r.f0 * 0.7, r.f0 * 1.01, r.f0 * 1.3, 15000.0}) {
			double want = cookbook(r.type, r.f0, r.g, r.q, f);
			EXPECT_NEAR(gain_of(r.line, f), want, 1e-9 * want + 1e-12)
			        << r.line << " at " << f;
		}
	}
	// The midpoint of a cookbook shelf sits at half its gain in dB.
	EXPECT_NEAR(
	        db(gain_of("Filter: ON LS 12dB Fc 300 Hz Gain -6 dB", 300 * std::pow(10, 0.075))),
	        -3, 1e-9);
	EXPECT_NEAR(db(gain_of("Preamp: -2 dB\nPreamp: -1,5 dB\nFilter: ON AP Fc 90 Hz Q 1", 90)),
	            -3.5, 1e-12);
}

TEST(Eqapo, ReadsAsEqualizerApoDoes)
{
	const char *pk = "Filter: ON PK Fc 8000 Hz Gain -5 dB Q 2";
	struct row {
		const char *line;
		const char *same_as;
	} rows[] = {
	        {"Filter 3: ON PK Fc 8.000 Hz Gain -5,0 dB Q 2", pk}, // thousands, comma decimal
	        {"Filter  12: ON  PK       Fc   8000 Hz  Gain  -5.0 dB  Q  2.00\r", pk},
	        {"Filter1: ON PK Fc 8000H z Gain -5 dB Q 2", pk},
	        {"Filter: ON PK Fc 8000 Hz Gain -5 dB BW Oct 0.7", nullptr},
	        {"Filter: ON PK Fc 63.0 Hz Gain -5 dB Q 2",
	         "Filter: ON PK Fc 63 Hz Gain -5 dB Q 2"},
	        {"Filter: ON PK Fc 1.500 Hz Gain 3 dB Q 2",
	         "Filter: ON PK Fc 1500 Hz Gain 3 dB Q 2"},
	        {"Filter: OFF PK Fc 8000 Hz Gain -5 dB Q 2\nFilter: ON None", ""},
	        {"Room EQ V5.20\nDated: Dec 9, 2026\nNotes: x\nFilter Settings file", ""},
	};
	for (const row &r : rows) {
		if (r.same_as == nullptr)
			continue;
		for (double f : {100.0, 5000.0, 8000.0, 12000.0})
			EXPECT_NEAR(gain_of(r.line, f), *r.same_as ? gain_of(r.same_as, f) : 1.0,
			            1e-12)
			        << r.line;
	}
	// BW Oct: alpha = sin(w0) sinh(ln 2 / 2 BW w0 / sin(w0)), here as a Q.
	double w0 = 2 * pi * 8000 / rate;
	double q = 1 / (2 * std::sinh(std::log(2.0) / 2 * 0.7 * w0 / std::sin(w0)));
	EXPECT_NEAR(db(gain_of(rows[3].line, 5000)), db(cookbook("PK", 8000, -5, q, 5000)), 1e-9);
}

TEST(Eqapo, RefusesWithTheLine)
{
	struct row {
		const char *text;
		int line;
		const char *what;
	} rows[] = {
	        {"Preamp: -3 dB\nFilter: ON XX Fc 100 Hz", 2, "unknown filter type 'XX'"},
	        {"Filter: ON PK Fc 1000.000 Hz Gain 3 dB Q 1", 1, "Fc 1e+06 Hz is not above 0"},
	        {"Filter: ON PK Fc 0 Hz Gain 3 dB Q 1", 1, "is not above 0"},
	        {"Filter: ON PK Fc 100 Hz Gain 3 dB", 1, "PK needs Q or BW Oct"},
	        {"Filter: ON PK Fc 100 Hz Q 1", 1, "PK needs Gain"},
	        {"Filter: ON AP Fc 100 Hz", 1, "AP needs Q"},
	        {"Filter: ON PK Fc 100 Hz Gain inf dB Q 1", 1, "not a finite number"},
	        {"Filter: ON PK Fc 100 Hz Gain 3 dB Q -1", 1, "must be above 0"},
	        {"Filter: ON PK Fc 100 Hz Gain 3 dB Q 1 Phase 2", 1, "unexpected 'Phase'"},
	        {"Filter: PK Fc 100 Hz", 1, "starts with ON or OFF"},
	        {"Filter: ON IIR Order 2", 1, "IIR filters are not supported"},
	        {"\n\nInclude: other.txt", 3, "'Include' routes or adds processing"},
	        {"Channel: L", 1, "'Channel'"},
	        {"Delay: 10 ms", 1, "'Delay'"},
	        {"Preamp: loud", 1, "Preamp needs a gain in dB"},
	        {"GraphicEQ: 0 1; 20 2", 1, "GraphicEQ frequency 0 is not above 0"},
	};
	for (const row &r : rows) {
		eqapo_chain chain;
		import_error err;
		EXPECT_FALSE(parse_eqapo(r.text, rate, chain, err)) << r.text;
		EXPECT_EQ(err.line, r.line) << r.text;
		EXPECT_NE(err.what.find(r.what), std::string::npos) << r.text << ": " << err.what;
	}
}

// 70 dB at 20 Hz rising linearly over log frequency to 80 dB at 20 kHz,
// no smoothing, flat target: the mean over 20 Hz to 20 kHz is 75 dB, so the
// correction is 75 dB minus the measurement, at most +3 and -12 dB.
TEST(Rew, CorrectionWorkedByHand)
{
	correction_options o;
	o.smooth = 0;
	std::string layout;
	import_error err;
	const char *measured = "* by hand\n20 70 0\n20000,80,0\n";
	ASSERT_TRUE(import_layout(measured, input_format::rew, rate, o, layout, err)) << err.what;
	std::vector<std::pair<double, double>> points;
	std::istringstream in(layout);
	for (double f, g; in >> f >> g;)
		points.emplace_back(f, g);
	auto at = [&](double f) {
		for (size_t i = 1; i < points.size(); i++)
			if (f <= points[i].first)
				return db(points[i - 1].second +
				          (points[i].second - points[i - 1].second) *
				                  (f - points[i - 1].first) /
				                  (points[i].first - points[i - 1].first));
		return db(points.back().second);
	};
	for (double f : {20.0, 63.2, 200.0, 632.5, 2000.0, 6325.0, 20000.0}) {
		double want = std::clamp(75 - (70 + 10 * std::log10(f / 20) / 3), -12.0, 3.0);
		EXPECT_NEAR(at(f), want, 0.12) << f;
	}
	// An octave below the range the correction has faded out; below 20 Hz
	// the layout follows it within 1 dB.
	EXPECT_NEAR(at(10), 0, 1.0);
}

// Every example converts within 0.1 dB of its source on a grid of 3072
// points an octave from 20 Hz to 20 kHz; the figures go to the test's
// output.
TEST(Fit, ExamplesWithinTolerance)
{
	for (const char *name : {"headphone-parametric.txt", "headphone-graphic.txt",
	                         "rew-filters.txt", "rew-measurement.txt"}) {
		std::ifstream file(std::string(FIRLOAD_EXAMPLES) + "/" + name);
		std::ostringstream all;
		all << file.rdbuf();
		std::string text = all.str();
		input_format format = detect_format(text);
		correction_options o;
		std::string layout;
		import_error err;
		ASSERT_TRUE(import_layout(text, format, rate, o, layout, err)) << name << err.what;
		eqapo_chain chain;
		db_curve measured;
		correction c;
		if (format == input_format::eqapo) {
			ASSERT_TRUE(parse_eqapo(text, rate, chain, err));
		} else {
			ASSERT_TRUE(parse_db_curve(text, 3, measured, err));
			c = correct(measured, nullptr, o, rate / 2);
		}
		std::vector<std::pair<double, double>> points;
		std::istringstream in(layout);
		for (double f, g; in >> f >> g;)
			points.emplace_back(f, g);
		double worst_db = 0;
		size_t i = 1;
		for (double f = 20; f <= 20000; f *= std::exp2(1.0 / 3072)) {
			while (points[i].first < f)
				i++;
			auto [f0, g0] = points[i - 1];
			auto [f1, g1] = points[i];
			double g = g0 + (g1 - g0) * (f - f0) / (f1 - f0);
			double want = format == input_format::eqapo
			                      ? eqapo_gain(chain, f, rate)
			                      : std::pow(10, correction_db(c, f) / 20);
			EXPECT_TRUE(within_tolerance(g, want)) << name << " at " << f;
			worst_db = std::max(worst_db, std::fabs(db(g / want)));
		}
		std::printf("%s: %zu breakpoints, %zu bytes, largest error %.4f dB\n", name,
		            points.size(), layout.size(), worst_db);
	}
}

// Refused with the line at fault: GraphicEQ entries that are not exactly
// two numbers, lines ended by a lone CR, and curves above +60 dB.
TEST(Import, RefusalsWithTheirLine)
{
	struct row {
		const char *text;
		input_format format;
		int line;
		const char *what;
	} rows[] = {
	        {"GraphicEQ: 20 nan; 1000 nan; 20000 nan", input_format::eqapo, 1, "entry 1"},
	        {"GraphicEQ: 20 0; 1000 -3; 20000", input_format::eqapo, 1, "entry 3"},
	        {"GraphicEQ: 20 - 6", input_format::eqapo, 1, "entry 1 ('20 - 6')"},
	        {"GraphicEQ: 20 0; 1000 -3 4", input_format::eqapo, 1, "entry 2"},
	        {"GraphicEQ: 20 0;; 1000 -3", input_format::eqapo, 1, "entry 2"},
	        {"Preamp: -3 dB\rGraphicEQ: 20 0; 0x10 1\rFilter: ON PK", input_format::eqapo, 2,
	         "entry 2"},
	        {"Preamp: 1 dB\r\n\rFilter: ON XX Fc 100 Hz", input_format::eqapo, 3, "'XX'"},
	        {"GraphicEQ: 20 0; 1000 70; 20000 0", input_format::eqapo, 1, "above the +60 dB"},
	        {"Preamp: 30 dB\rFilter: ON PK Fc 1000 Hz Gain 40 dB Q 1", input_format::eqapo, 2,
	         "rises to +70.0 dB"},
	        {"Filter: ON PK Fc 100 Hz Gain 25 dB Q 1\nPreamp: 36 dB", input_format::eqapo, 2,
	         "above the +60 dB"},
	        {"# x\n100 0\n1000 61\n", input_format::db, 3, "above the +60 dB"},
	        {"100 0\r1000\r", input_format::db, 2, "frequency in Hz and a gain in dB"},
	        {"100 0\n50 1\n", input_format::db, 2, "must rise"},
	        {"\xff\xfeP\0r\0", input_format::eqapo, 0, "UTF-16"},
	};
	for (const row &r : rows) {
		std::string layout = "untouched";
		import_error err;
		EXPECT_FALSE(import_layout(r.text, r.format, rate, {}, layout, err)) << r.text;
		EXPECT_EQ(err.line, r.line) << r.text;
		EXPECT_NE(err.what.find(r.what), std::string::npos) << r.text << ": " << err.what;
		EXPECT_EQ(layout, "untouched") << r.text;
	}
}

// Between its breakpoints, on a grid far denser than the fit's own, the
// layout stays within 0.1 dB (0.003 below -30 dB) from 20 Hz to
// min(20 kHz, R/2), and within 1 dB (0.01) from DC to 20 Hz: steep notches,
// high-pass filters that must still block DC, filters next to R/2.
TEST(Fit, DenseGridAndDc)
{
	std::ifstream file(std::string(FIRLOAD_EXAMPLES) + "/rew-notch.txt");
	std::ostringstream all;
	all << file.rdbuf();
	struct row {
		std::string text;
		double rate;
	} rows[] = {
	        {all.str(), 48000},
	        {all.str(), 44100},
	        {"Filter: ON BP Fc 1000 Hz Q 0.7\nFilter: ON NO Fc 1000 Hz Q 8", 48000},
	        {"Filter: ON HP Fc 20 Hz", 48000},
	        {"Filter: ON HP Fc 30 Hz\nFilter: ON HP Fc 30 Hz", 96000},
	        {"Filter: ON HP Fc 3 Hz Q 2", 48000},
	        {"Filter: ON PK Fc 1005 Hz Gain -15 dB Q 60", 48000},
	        {"Filter: ON HP Fc 23999 Hz", 48000},
	        {"Filter: ON NO Fc 23999 Hz", 48000},
	        {"Filter: ON HSC Fc 23999.9 Hz Gain 6 dB", 48000},
	        {"Filter: ON NO Fc 15999 Hz", 32000},
	};
	for (const row &r : rows) {
		std::string layout;
		import_error err;
		ASSERT_TRUE(import_layout(r.text, input_format::eqapo, r.rate, {}, layout, err))
		        << r.text << ": " << err.what;
		eqapo_chain chain;
		ASSERT_TRUE(parse_eqapo(r.text, r.rate, chain, err));
		auto points = points_of(layout);
		ASSERT_FALSE(points.empty());
		int failures = 0;
		double top = std::min(20000.0, r.rate / 2);
		for (double f = 20; f <= top && failures < 5; f *= std::exp2(1.0 / 8192)) {
			double want = eqapo_gain(chain, f, r.rate);
			bool ok = within_tolerance(layout_gain(points, f), want);
			failures += !ok;
			EXPECT_TRUE(ok)
			        << r.text << " at " << f << " Hz: " << db(layout_gain(points, f))
			        << " dB for " << db(want);
		}
		for (double f : {0.0, 0.5, 2.0, 5.0, 12.0, 19.0}) {
			double want = eqapo_gain(chain, f, r.rate), got = layout_gain(points, f);
			if (db(want) >= -30)
				EXPECT_NEAR(db(got), db(want), 1.0) << r.text << " at " << f;
			else
				EXPECT_NEAR(got, want, 0.01) << r.text << " at " << f;
		}
		for (double f = top; f <= r.rate / 2; f += 0.5)
			EXPECT_TRUE(std::isfinite(eqapo_gain(chain, f, r.rate)))
			        << r.text << " at " << f;
		EXPECT_TRUE(within(layout_gain(points, r.rate / 2),
		                   eqapo_gain(chain, r.rate / 2, r.rate), {1, 0.03}))
		        << r.text;
	}
}

// Next to half the rate, where the magnitude's usual form cancels to
// nothing, it still matches the cookbook filter evaluated directly.
TEST(Eqapo, MagnitudeNearHalfTheRate)
{
	struct row {
		const char *line, *type;
		double f0, g, q, f;
	} rows[] = {
	        {"Filter: ON HP Fc 23999 Hz", "HP", 23999, 0, 0.7071, 24000},
	        {"Filter: ON HP Fc 23999 Hz", "HP", 23999, 0, 0.7071, 23990},
	        {"Filter: ON NO Fc 23999 Hz", "NO", 23999, 0, 30, 24000},
	        {"Filter: ON HSC Fc 23999.9 Hz Gain 6 dB Q 0.7", "HSC", 23999.9, 6, 0.7, 24000},
	        {"Filter: ON PK Fc 20000 Hz Gain -9 dB Q 3", "PK", 20000, -9, 3, 23500},
	};
	for (const row &r : rows) {
		double want = cookbook(r.type, r.f0, r.g, r.q, r.f);
		EXPECT_NEAR(gain_of(r.line, r.f), want, 1e-6 * want) << r.line << " at " << r.f;
	}
}

// A measurement's correction: where it applies, what is refused, and the
// rows read as they are meant.
TEST(Rew, RangesTargetsAndRows)
{
	const std::string rising = "* m\n200 70\n2000 80\n";
	struct row {
		std::string measured, target, target_name;
		double low, high;
		const char *what; // refusal; null when accepted
		double at_hz, want_db;
	} rows[] = {
	        {rising, "", "", 1000, 1001, "too narrow for the correction's grid", 0, 0},
	        {rising, "", "empty.txt", 20, 20000, "no row of frequency and dB", 0, 0},
	        {rising, "", "", 5000, 9000, "no data within the range", 0, 0},
	        {rising, "\xff\xfe\x32\0", "u16.txt", 20, 20000, "UTF-16", 0, 0},
	        {rising, "", "", 20, 20000, nullptr, 50, 0},    // two octaves below its data
	        {rising, "", "", 20, 20000, nullptr, 8000, 0},  // two octaves above
	        {rising, "", "", 20, 20000, nullptr, 632.5, 0}, // its middle is the mean
	        {rising, "x y z\n20 0 0\n20000 0 9\n", "t.txt", 20, 20000, nullptr, 632.5, 0},
	        {"\xef\xbb\xbf" + rising, "", "", 20, 20000, nullptr, 632.5, 0},
	        {"* m\n200;70\n632,5;75\n2000;80\n", "", "", 20, 20000, nullptr, 632.5, 0},
	};
	for (const row &r : rows) {
		correction_options o;
		o.smooth = 0;
		o.target = r.target;
		o.target_name = r.target_name;
		o.low = r.low;
		o.high = r.high;
		std::string layout;
		import_error err;
		bool ok = import_layout(r.measured, input_format::rew, rate, o, layout, err);
		EXPECT_EQ(ok, r.what == nullptr) << r.measured << r.target << ": " << err.what;
		if (!ok) {
			EXPECT_NE(err.what.find(r.what ? r.what : "?"), std::string::npos)
			        << err.what;
			EXPECT_EQ(err.file, r.target_name);
			continue;
		}
		EXPECT_NEAR(db(layout_gain(points_of(layout), r.at_hz)), r.want_db, 0.1)
		        << r.measured << " at " << r.at_hz;
	}
}

// What an import says it took and passed over.
TEST(Import, Notes)
{
	struct row {
		const char *text;
		input_format format;
		std::vector<std::string> notes;
	} rows[] = {
	        {"Preamp: -6.1 dB\nFilter 1: ON PK Fc 100 Hz Gain 3 dB Q 1\r\rFilter 2: OFF PK\n"
	         "Dated: x\nFilter 3: ON None\nFilter 4: ON None\nRoom EQ\n\nAverages",
	         input_format::eqapo,
	         {"source: Equalizer APO, preamp -6.1 dB, 1 filter",
	          "line 4: ignored: the filter is OFF", "line 5: ignored: unknown key 'Dated'",
	          "lines 6-7: ignored: an empty filter slot (None)",
	          "lines 8-10: ignored: no key"}},
	        {"GraphicEQ: 19900 -2; 20 1; 1000 0;",
	         input_format::eqapo,
	         {"source: GraphicEQ, 3 points, 20.0 Hz to 19.9 kHz"}},
	        {"* a\n* b\n\n* c\nFreq,SPL\n20,70\n1000,72\n20000,71\n",
	         input_format::rew,
	         {"source: REW measurement, 3 points, 20.0 Hz to 20.0 kHz, smoothing 1/6, flat "
	          "target, range 20.0 Hz to 20.0 kHz",
	          "lines 1-4: ignored: a header line", "line 5: ignored: column names"}},
	        {"# room\n# curve\n20 3\n1000 0 # flat\n",
	         input_format::db,
	         {"source: curve in dB, 2 points, 20.0 Hz to 1.0 kHz",
	          "lines 1-2: ignored: a comment"}},
	};
	for (const row &r : rows) {
		std::string layout;
		import_error err;
		import_report report;
		ASSERT_TRUE(import_layout(r.text, r.format, rate, {}, layout, err, &report))
		        << r.text << ": " << err.what;
		EXPECT_EQ(report.notes, r.notes) << r.text;
		bool measured = r.format == input_format::rew;
		EXPECT_EQ(report.curve_hz.empty(), !measured);
		EXPECT_EQ(report.measured_db.size(), report.curve_hz.size());
		EXPECT_TRUE(std::is_sorted(report.curve_hz.begin(), report.curve_hz.end()));
		if (measured) {
			EXPECT_NEAR(report.target_db[report.target_db.size() / 2], 71, 0.5);
		}
	}
}

// A byte-order mark hides no key from the recognition; UTF-16 goes to a
// reader that refuses it with a reason.
TEST(Import, RecognisesPastAByteOrderMark)
{
	struct row {
		std::string text;
		input_format format;
	} rows[] = {
	        {"\xef\xbb\xbfGraphicEQ: 20 1; 1000 0", input_format::eqapo},
	        {"\xef\xbb\xbfPreamp: -3 dB\r\n", input_format::eqapo},
	        {"\xef\xbb\xbf* REW\n20 70\n", input_format::rew},
	        {"\xef\xbb\xbf"
	         "100 1\n",
	         input_format::layout},
	        {std::string("\xff\xfeP\0r\0", 6), input_format::eqapo},
	};
	for (const row &r : rows)
		EXPECT_EQ(detect_format(r.text), r.format) << r.text;
}

// Microphone calibration files: the sensitivity line, comments, phase
// columns, and what is refused, with the line at fault.
TEST(MicCal, ReadsAndRefuses)
{
	struct row {
		const char *text;
		int line;         // 0 and what empty: read
		const char *what; // in the refusal
		double sens_db;   // NAN: no Sens Factor
		size_t points;
		double db_at_100; // dB at 100 Hz
	};
	const double none = std::nan("");
	const row rows[] = {
	        {"\"Sens Factor =-1.5dB, SERNO: 7001234\"\n10 -2.1\n100 0.5\n20000 3\n", 0, "",
	         -1.5, 3, 0.5},
	        {"Sens Factor -0.7 dB\r\n* made by hand\r\n20\t1\t-5\r\n200\t-1\t3\r\n", 0, "",
	         -0.7, 2, 1 - 2 * std::log(5.0) / std::log(10.0)},
	        {"# no sensitivity\n\"quoted note\"\n50, 0\n100; 2\n", 0, "", none, 2, 2},
	        {"Sens Factor = dB\n100 1\n", 1, "Sens Factor", none, 0, 0},
	        {"100 1\n200 x\n", 2, "not a number", none, 0, 0},
	        {"100 1\n100 2\n", 2, "must rise", none, 0, 0},
	        {"100 1 2 3\n", 1, "at most a phase", none, 0, 0},
	        {"-5 1\n", 1, "above 0 Hz", none, 0, 0},
	        {"# only comments\n", 0, "no row", none, 0, 0},
	        {"100 1\n\nSens Factor -1\n", 3, "not a number", none, 0, 0},
	};
	for (const row &r : rows) {
		mic_calibration cal;
		import_error err;
		bool ok = parse_mic_calibration(r.text, cal, err);
		EXPECT_EQ(ok, *r.what == '\0') << r.text << ": " << err.what;
		if (!ok) {
			EXPECT_EQ(err.line, r.line) << r.text;
			EXPECT_NE(err.what.find(r.what), std::string::npos)
			        << r.text << ": " << err.what;
			continue;
		}
		EXPECT_EQ(cal.has_sens, !std::isnan(r.sens_db)) << r.text;
		if (cal.has_sens) {
			EXPECT_DOUBLE_EQ(cal.sens_db, r.sens_db);
		}
		EXPECT_EQ(cal.curve.freq.size(), r.points) << r.text;
		EXPECT_NEAR(curve_db(cal.curve, 100), r.db_at_100, 1e-9) << r.text;
	}
}

// rounded() gives the number that printf's text at that many digits reads
// back as, over the gains and frequencies a fit writes: near powers of ten,
// on halves of the last digit, and outside the range it works out itself.
TEST(Fit, RoundedAsTextReadsBack)
{
	struct row {
		double low, high;
		int digits;
	} rows[] = {
	        {1e-6, 1e3, 9},                           // gains, down to far below the floor
	        {0.0097, 24000, 6},                       // the grid's frequencies
	        {0.999, 1.001, 9},                        // across a power of ten
	        {9.99999, 10.0001, 6}, {1e-20, 1e-13, 9}, // below what it works out itself
	        {1e8, 1e12, 9},                           // above it
	};
	auto text_value = [](double v, int digits) {
		char text[64];
		std::snprintf(text, sizeof text, "%.*g", digits, v);
		return std::strtod(text, nullptr);
	};
	uint64_t seed = 1;
	for (const row &r : rows) {
		for (int k = 0; k < 20000; k++) {
			seed = seed * 6364136223846793005u + 1442695040888963407u;
			double u = static_cast<double>(seed >> 11) / 9007199254740992.0;
			double v = r.low * std::pow(r.high / r.low, u);
			ASSERT_EQ(rounded(v, r.digits), text_value(v, r.digits)) << v;
			// A value that ends on a half of the last digit: ties.
			double tens = std::pow(10.0, r.digits - 1 - std::floor(std::log10(v)));
			double half = (std::floor(v * tens) + 0.5) / tens;
			ASSERT_EQ(rounded(half, r.digits), text_value(half, r.digits)) << half;
		}
	}
}
