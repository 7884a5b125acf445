// The designer: target spectrum from the layout, coefficients, report and
// listing. References are computed here directly, without FFTW.
#include "eq.h"
#include "harness.h"
#include "layout.h"
#include "response.h"
#include "summary.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace
{

using json = nlohmann::json;

constexpr double pi = 3.141592653589793;

// ---- target spectrum ----------------------------------------------------

struct spectrum_case {
	const char *name;
	const char *text;
	int ok;              // expected result
	std::string message; // expected after the heading
	int normalize;
	std::vector<double> bins; // bins 0..4 at R = 800, N = 8 (when ok)
};

void PrintTo(const spectrum_case &c, std::ostream *os)
{
	*os << c.name;
}

class Spectrum : public testing::TestWithParam<spectrum_case>
{
};

TEST_P(Spectrum, BinsFlagAndMessages)
{
	const spectrum_case &c = GetParam();
	std::vector<double> spectrum(8, -99.0);
	int32_t normalize = -1;
	int ok = 0;
	std::string err = capture_stderr(
	        [&] { ok = eq_build_spectrum(c.text, 800.0, 8, spectrum.data(), &normalize); });
	EXPECT_EQ(ok, c.ok);
	EXPECT_EQ(err, std::string("\n\nReloading amplification specifications:\n") + c.text +
	                       "\n" + c.message);
	EXPECT_EQ(normalize, c.normalize);
	if (!c.ok)
		return;
	for (size_t i = 0; i < c.bins.size(); i++)
		EXPECT_DOUBLE_EQ(spectrum[i], c.bins[i]) << "bin " << i;
	for (size_t i = 5; i < 8; i++)
		EXPECT_EQ(spectrum[i], 0.0) << "imaginary part " << i;
}

const std::string nonincreasing = "Parse error: Nonincreasing sequence of frequencies.\n";

// clang-format off
const spectrum_case spectrum_cases[] = {
	{"Empty", "", 1, "", 0, {1, 1, 1, 1, 1}},
	{"HeaderOnly", "normalize\n", 1, "", 1, {1, 1, 1, 1, 1}},
	{"HeaderWithoutNewline", "Normalize", 1, "", 1, {1, 1, 1, 1, 1}},
	{"HeaderThenEmptyLine", "normalize\n\n", 0, "Parse error.\n", 1, {}},
	{"HeaderAnyCase", "NORMALIZE\n50 2\n350 0.5\n", 1, "", 1, {2, 1.75, 1.25, 0.75, 0.5}},
	{"HeaderNormal", "normal\n50 2\n350 0.5\n", 1, "", 1, {2, 1.75, 1.25, 0.75, 0.5}},
	{"HeaderRestIgnored", "norm please 1 2 3\n50 2\n350 0.5", 1, "", 1, {2, 1.75, 1.25, 0.75,
	 0.5}},
	{"NotAHeader", "nor\n", 0, "Parse error.\n", 0, {}},
	{"WorkedExample", "50 2\n350 0.5\n", 1, "", 0, {2, 1.75, 1.25, 0.75, 0.5}},
	{"LineBreaksCarryNoMeaning", "  50\t2 350\n\n0.5\n\n", 1, "", 0, {2, 1.75, 1.25, 0.75,
	 0.5}},
	{"Hexadecimal", "0x32 0x2p0\n0x1.5ep+8 0x.8", 1, "", 0, {2, 1.75, 1.25, 0.75, 0.5}},
	{"RunTogether", "50-2 350-0.5", 1, "", 0, {-2, -1.75, -1.25, -0.75, -0.5}},
	{"Decreasing", "100 1\n50 2\n", 0, nonincreasing, 0, {}},
	{"EqualFrequencies", "100 1\n100 2\n", 1, "", 0, {1, 2, 2, 2, 2}},
	{"NegativeFirst", "-10 1\n", 0, nonincreasing, 0, {}},
	{"GainNotANumber", "50 x\n", 0, "Parse error.\n", 0, {}},
	{"LoneFrequency", "50", 0, "Parse error.\n", 0, {}},
	{"ZeroHzGainHasNoEffect", "0 5\n200 1\n400 3\n", 1, "", 0, {1, 1, 1, 2, 3}},
	{"FlatBelowFirstAboveLast", "150 4\n250 2\n", 1, "", 0, {4, 4, 3, 2, 2}},
	{"GainsHaveNoRange", "100 0\n300 -1\n", 1, "", 0, {0, 0, -0.5, -1, -1}},
	// Breakpoints above the highest bin end the reading.
	{"LazyReading", "50 2\n350 0.5\n500 1\nnot a layout", 1, "", 0, {2, 1.75, 1.25, 0.75,
	 0.5 + 0.5 / 3}},
	{"GarbageStillNeeded", "50 2\n350 0.5\nnot a layout", 0, "Parse error.\n", 0, {}},
	{"InfiniteFrequency", "inf 2\nnonsense", 1, "", 0, {2, 2, 2, 2, 2}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, Spectrum, testing::ValuesIn(spectrum_cases),
                         [](const auto &p) { return std::string(p.param.name); });

// ---- design -------------------------------------------------------------

struct report_line {
	double freq, requested, got, log10, db;
};

struct design_output {
	int ok = 0;
	std::string text;
	std::vector<report_line> report;
	std::vector<std::pair<double, double>> listing; // ms, tap
};

design_output run_design(eq_state &state, const char *layout)
{
	design_output d;
	d.text = capture_stderr([&] { d.ok = eq_design(state, layout); });
	std::istringstream in(d.text);
	for (std::string line; std::getline(in, line);) {
		report_line r{};
		double ms, tap;
		char tail[8] = {};
		if (std::sscanf(line.c_str(),
		                "%lf Hz: requested %lf, got %lf (log10 = %lf), %lf%7s", &r.freq,
		                &r.requested, &r.got, &r.log10, &r.db, tail) == 6) {
			EXPECT_STREQ(tail, "db") << line;
			d.report.push_back(r);
		} else if (std::sscanf(line.c_str(), "%lf ms: %lf", &ms, &tap) == 2) {
			d.listing.emplace_back(ms, tap);
		}
	}
	return d;
}

// Independent design: the zero-phase response as a cosine sum of the target
// bins, then the window, the centring and the mirror of the designer.
std::vector<double> reference_design(const std::vector<double> &bins, int n)
{
	std::vector<double> x(static_cast<size_t>(n)), t(static_cast<size_t>(n), 0.0);
	for (int k = 0; k < n; k++) {
		double sum = bins[0];
		for (int j = 1; 2 * j < n; j++)
			sum += 2 * bins[static_cast<size_t>(j)] * std::cos(2 * pi * j * k / n);
		if (n % 2 == 0)
			sum += bins[static_cast<size_t>(n / 2)] * std::cos(pi * k);
		x[static_cast<size_t>(k)] = sum;
	}
	auto at = [&](int i) -> double & { return t[static_cast<size_t>(i)]; };
	if (n % 2 == 0) {
		int h = n / 2;
		for (int k = 0; k < h; k++) {
			double w = (0.5 * std::cos(pi * k / h) + 0.5) / n;
			at(h + k) = w * x[static_cast<size_t>(k)];
			if (k > 0)
				at(h - k) = at(h + k);
		}
	} else {
		int c = (n - 1) / 2;
		for (int k = 0; k <= c; k++)
			at(c + k) = at(c - k) = (0.5 * std::cos(2 * pi * k / n) + 0.5) / n *
			                        x[static_cast<size_t>(k)];
	}
	return t;
}

// |DFT| of the taps at bin k, summed directly.
double dft_magnitude(const double *t, int n, int k)
{
	double re = 0, im = 0;
	for (int i = 0; i < n; i++) {
		re += t[i] * std::cos(2 * pi * k * i / n);
		im -= t[i] * std::sin(2 * pi * k * i / n);
	}
	return std::hypot(re, im);
}

struct designer_fixture {
	eq_state state;
	designer_fixture(double rate, int32_t n) { EXPECT_EQ(eq_init(state, rate, n), 1); }
	~designer_fixture() { eq_free(state); }
};

TEST(Design, FlatWorkedExample)
{
	designer_fixture f(800.0, 8);
	design_output d = run_design(f.state, "");
	ASSERT_EQ(d.ok, 1);
	ASSERT_EQ(d.report.size(), 5u);
	for (size_t k = 0; k < 5; k++) {
		EXPECT_EQ(d.report[k].freq, 100.0 * static_cast<double>(k));
		EXPECT_EQ(d.report[k].requested, 1.0);
		EXPECT_NEAR(d.report[k].got, 1.0, 1e-7);
	}
	ASSERT_EQ(d.listing.size(), 8u);
	for (size_t k = 0; k < 8; k++) {
		EXPECT_DOUBLE_EQ(d.listing[k].first, 1.25 * static_cast<double>(k));
		EXPECT_NEAR(d.listing[k].second, k == 4 ? 1.0 : 0.0, 1e-10);
	}
	EXPECT_NE(d.text.find("\n0.000 ms: "), std::string::npos);
	EXPECT_NE(d.text.find("\n8.750 ms: "), std::string::npos);
}

TEST(Design, WorkedExampleMatchesReference)
{
	designer_fixture f(800.0, 8);
	design_output d = run_design(f.state, "50 2\n350 0.5\n");
	ASSERT_EQ(d.ok, 1);
	std::vector<double> want = reference_design({2, 1.75, 1.25, 0.75, 0.5}, 8);
	for (size_t i = 0; i < 8; i++)
		EXPECT_NEAR(f.state.time[i], want[i], 1e-12) << "tap " << i;
	const double requested[] = {2, 1.75, 1.25, 0.75, 0.5};
	for (size_t k = 0; k < 5; k++)
		EXPECT_EQ(d.report[k].requested, requested[k]);
}

struct sweep_case {
	const char *layout;
	double rate;
	int32_t n;
};

void PrintTo(const sweep_case &c, std::ostream *os)
{
	*os << "N=" << c.n << " " << c.layout;
}

class DesignSweep : public testing::TestWithParam<sweep_case>
{
};

// Every design is symmetric about its centre, matches the reference, and
// reports the response of its own taps.
TEST_P(DesignSweep, SymmetricAndReportsItsOwnResponse)
{
	const sweep_case &c = GetParam();
	designer_fixture f(c.rate, c.n);
	design_output d = run_design(f.state, c.layout);
	ASSERT_EQ(d.ok, 1);
	int n = c.n;
	const double *t = f.state.time;
	if (n % 2 == 0) {
		EXPECT_EQ(t[0], 0.0);
		for (int m = 1; m < n / 2; m++)
			EXPECT_EQ(t[n / 2 - m], t[n / 2 + m]) << "m " << m;
	} else {
		for (int m = 1; m <= (n - 1) / 2; m++)
			EXPECT_EQ(t[(n - 1) / 2 - m], t[(n - 1) / 2 + m]) << "m " << m;
	}

	std::vector<double> bins(static_cast<size_t>(n / 2 + 1));
	int32_t normalize;
	capture_stderr([&] {
		std::vector<double> s(static_cast<size_t>(n));
		eq_build_spectrum(c.layout, c.rate, n, s.data(), &normalize);
		std::copy(s.begin(), s.begin() + n / 2 + 1, bins.begin());
	});
	std::vector<double> want = reference_design(bins, n);
	double scale = 1.0;
	for (double v : want)
		scale = std::max(scale, std::fabs(v));
	for (size_t i = 0; i < want.size(); i++)
		EXPECT_NEAR(t[i], want[i], 1e-12 * scale) << "tap " << i;

	ASSERT_EQ(d.report.size(), static_cast<size_t>(n / 2 + 1));
	ASSERT_EQ(d.listing.size(), static_cast<size_t>(n));
	for (int k = 0; k <= n / 2; k++) {
		const report_line &r = d.report[static_cast<size_t>(k)];
		EXPECT_NEAR(r.freq, k * c.rate / n, 0.0501); // printed to 0.1 Hz
		EXPECT_NEAR(r.requested, bins[static_cast<size_t>(k)], 0.00501);
		EXPECT_NEAR(r.got, dft_magnitude(t, n, k), 1e-6) << "bin " << k;
	}
}

// clang-format off
const sweep_case sweep_cases[] = {
	{"", 800, 1},
	{"", 800, 2},
	{"50 2\n350 0.5\n", 800, 3},
	{"50 2\n350 0.5\n", 800, 4},
	{"50 2\n350 0.5\n", 800, 5},
	{"100 0.5\n200 3\n", 800, 7},
	{"100 0.5\n200 3\n", 800, 9},
	{"40 2.5\n100 1.6\n400 1\n2500 0.85\n5000 1\n10000 1.4\n", 48000, 16},
	{"40 2.5\n100 1.6\n400 1\n2500 0.85\n5000 1\n10000 1.4\n", 48000, 17},
	{"250 0\n300 1\n3400 1\n3600 0\n", 8000, 64},
	{"250 0\n300 1\n3400 1\n3600 0\n", 8000, 65},
	{"60 2\n150 2\n300 1\n", 44100, 128},
	{"60 2\n150 2\n300 1\n", 44100, 127},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, DesignSweep, testing::ValuesIn(sweep_cases));

// A flat layout gives a unit impulse at the centre tap.
TEST(Design, FlatIsUnitImpulseAtCentre)
{
	for (int32_t n : {1, 2, 3, 4, 5, 8, 9, 64, 65, 1000, 1001}) {
		designer_fixture f(48000, n);
		design_output d = run_design(f.state, "");
		ASSERT_EQ(d.ok, 1);
		int centre = n % 2 == 0 ? n / 2 : (n - 1) / 2;
		for (int i = 0; i < n; i++)
			EXPECT_NEAR(f.state.time[i], i == centre ? 1.0 : 0.0, 1e-12)
			        << "N " << n << " tap " << i;
	}
}

TEST(Design, NormalizationAfterTheReport)
{
	const char *shape = "50 2\n150 1\n250 -0.5\n";
	designer_fixture plain(800, 16), normalized(800, 16);
	design_output a = run_design(plain.state, shape);
	design_output b =
	        run_design(normalized.state, (std::string("normalize\n") + shape).c_str());
	ASSERT_EQ(a.ok, 1);
	ASSERT_EQ(b.ok, 1);
	EXPECT_EQ(normalized.state.normalize, 1);
	double sum = 0;
	for (int i = 0; i < 16; i++)
		sum += std::fabs(normalized.state.time[i]);
	EXPECT_NEAR(sum, 1.0, 1e-12);
	ASSERT_NE(sum, 0.0);
	double factor = 0;
	for (int i = 0; i < 16; i++)
		factor += std::fabs(plain.state.time[i]);
	for (int i = 0; i < 16; i++) {
		EXPECT_NEAR(normalized.state.time[i], plain.state.time[i] / factor, 1e-15);
		EXPECT_NEAR(b.listing[static_cast<size_t>(i)].second, normalized.state.time[i],
		            1e-10);
	}
	ASSERT_EQ(a.report.size(), b.report.size());
	for (size_t k = 0; k < a.report.size(); k++)
		EXPECT_EQ(a.report[k].got, b.report[k].got); // the response before normalizing
}

struct failure_case {
	const char *layout;
	const char *message; // the last line printed
	bool reported;       // whether the report is printed
};

void PrintTo(const failure_case &c, std::ostream *os)
{
	*os << c.layout;
}

class DesignFailure : public testing::TestWithParam<failure_case>
{
};

TEST_P(DesignFailure, NoListing)
{
	const failure_case &c = GetParam();
	for (int32_t n : {8, 9}) {
		designer_fixture f(800, n);
		design_output d = run_design(f.state, c.layout);
		EXPECT_EQ(d.ok, 0);
		EXPECT_TRUE(d.text.ends_with(c.message)) << d.text;
		EXPECT_EQ(d.listing.size(), 0u);
		EXPECT_EQ(d.report.size(), c.reported ? static_cast<size_t>(n / 2 + 1) : 0u);
	}
}

const char *const non_finite = "Design error: non-finite coefficients.\n";

// clang-format off
const failure_case failure_cases[] = {
	{"50 nan\n", non_finite, true},
	{"nan 1\n", non_finite, true},
	{"50 inf\n", non_finite, true},
	{"50 -inf\n300 1\n", non_finite, true},
	{"50 1e308\n100 1.7e308\n", non_finite, true},
	{"normalize\n50 1e308\n100 1.7e308\n", non_finite, true},
	{"50 2\n10 1\n", "Parse error: Nonincreasing sequence of frequencies.\n", false},
	{"50\n", "Parse error.\n", false},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, DesignFailure, testing::ValuesIn(failure_cases));

TEST(Design, ReportInfinitiesAndNotANumber)
{
	// requested 0 with got above 0 gives +inf dB; a negative request gives nan.
	designer_fixture f(800, 8);
	design_output d = run_design(f.state, "100 0\n300 -1\n");
	ASSERT_EQ(d.ok, 1);
	EXPECT_NE(d.text.find("requested 0.00, got "), std::string::npos);
	EXPECT_TRUE(std::isinf(d.report[0].db) && d.report[0].db > 0) << d.text;
	EXPECT_TRUE(std::isnan(d.report[4].db)) << d.text;
}

TEST(Design, InitRefusesEmptyFilter)
{
	eq_state state;
	EXPECT_EQ(eq_init(state, 800, 0), 0);
	EXPECT_EQ(state.time, nullptr);
	EXPECT_EQ(state.forward_plan, nullptr);
	eq_free(state); // harmless on a state with nothing in it
}

// |taps' transform| at f Hz, straight from the definition.
double direct_gain(const eq_state &state, double f)
{
	long double re = 0, im = 0;
	for (int32_t n = 0; n < state.length; n++) {
		double w = 2 * pi * f * n / state.rate;
		re += static_cast<long double>(state.time[n] * std::cos(w));
		im -= static_cast<long double>(state.time[n] * std::sin(w));
	}
	return static_cast<double>(std::sqrt(re * re + im * im));
}

struct figures_case {
	const char *name;
	const char *layout;
	double rate;
	int32_t n;
};

class SummaryPeak : public testing::TestWithParam<figures_case>
{
};

// The summary's peak against the taps' transform zero-padded to 16 times
// their length (no peak rises more than 0.042 dB above those samples),
// and the gain it names at the frequency it names.
TEST_P(SummaryPeak, TruePeakOfTheTaps)
{
	const figures_case &c = GetParam();
	designer_fixture f(c.rate, c.n);
	ASSERT_EQ(eq_design(f.state, c.layout, eq_output{}), 1);
	design_summary s = summarize(f.state, design_response(f.state), c.layout, false);
	int32_t size = 16 * c.n;
	double *padded = fftw_alloc_real(static_cast<size_t>(size));
	fftw_complex *bins = fftw_alloc_complex(static_cast<size_t>(size / 2 + 1));
	fftw_plan plan = fftw_plan_dft_r2c_1d(size, padded, bins, FFTW_ESTIMATE);
	std::fill(padded, padded + size, 0.0);
	std::copy(f.state.time, f.state.time + c.n, padded);
	fftw_execute(plan);
	double best = 0;
	for (int32_t i = 0; i <= size / 2; i++)
		best = std::max(best, std::hypot(bins[i][0], bins[i][1]));
	fftw_destroy_plan(plan);
	fftw_free(bins);
	fftw_free(padded);
	EXPECT_NEAR(s.top.db, to_db(best), 0.05);
	EXPECT_NEAR(s.top.db, to_db(direct_gain(f.state, s.top.freq)), 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
        Table, SummaryPeak,
        testing::Values(
                figures_case{"NarrowPeak", "999 1\n1000 3.16\n1001 1\n", 48000, 65536},
                figures_case{"NotchBesideBoost", "500 1\n520 4\n540 0.1\n560 1\n", 44100, 255},
                figures_case{"Normalized", "normalize\n3000 1\n3001 8\n3002 1\n", 48000, 512}),
        [](const auto &p) { return p.param.name; });

// A layout times a factor: the response in dB moves by the factor,
// however small the gains, and the largest deviation stays where it was.
class ScaleInvariance : public testing::TestWithParam<double>
{
};

TEST_P(ScaleInvariance, ResponseMovesByTheFactor)
{
	double factor = GetParam();
	const char *layout = "100 1\n300 2\n2000 0.5\n2010 3\n8000 1\n";
	std::string scaled = scale_layout(layout, factor);
	designer_fixture one(48000, 512), other(48000, 512);
	ASSERT_EQ(eq_design(one.state, layout, eq_output{}), 1);
	ASSERT_EQ(eq_design(other.state, scaled.c_str(), eq_output{}), 1);
	response a = design_response(one.state), b = design_response(other.state);
	ASSERT_EQ(a.freq, b.freq);
	for (size_t i = 0; i < a.freq.size(); i++) {
		EXPECT_NEAR(to_db(b.achieved[i] / a.achieved[i]), to_db(factor), 1e-6) << i;
		EXPECT_NEAR(to_db(b.requested[i] / a.requested[i]), to_db(factor), 1e-9) << i;
	}
	deviation da = design_deviation(one.state), dv = design_deviation(other.state);
	ASSERT_TRUE(da.any);
	ASSERT_TRUE(dv.any);
	EXPECT_NEAR(dv.db, da.db, 1e-6);
	EXPECT_NEAR(dv.freq, da.freq, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Table, ScaleInvariance, testing::Values(1e-9, 1e-4, 1e6));

// The length advice follows the narrowest feature: its bins are no wider,
// it meets 1 dB, and half of it does not.
struct advice_case {
	const char *name;
	const char *layout;
	int32_t n;
	double narrowest; // Hz
};

class LengthAdvice : public testing::TestWithParam<advice_case>
{
};

TEST_P(LengthAdvice, FollowsTheNarrowestFeature)
{
	const advice_case &c = GetParam();
	constexpr double rate = 48000;
	designer_fixture f(rate, c.n);
	ASSERT_EQ(eq_design(f.state, c.layout, eq_output{}), 1);
	design_summary s = summarize(f.state, design_response(f.state), c.layout, false);
	int advised = 0;
	for (const std::string &a : s.advice)
		std::sscanf(a.c_str(), "%d taps would bring", &advised);
	ASSERT_GT(advised, 0) << summary_text(s);
	EXPECT_LE(rate / advised, c.narrowest);
	auto deviation_at = [&](int32_t n) {
		designer_fixture g(rate, n);
		EXPECT_EQ(eq_design(g.state, c.layout, eq_output{}), 1);
		return std::fabs(design_deviation(g.state).db);
	};
	EXPECT_LE(deviation_at(advised), 1.0);
	EXPECT_TRUE(rate / (advised / 2) > c.narrowest || deviation_at(advised / 2) > 1.0);
}

INSTANTIATE_TEST_SUITE_P(
        Table, LengthAdvice,
        testing::Values(advice_case{"NarrowPeak", "999 1\n1000 3.16\n1001 1\n", 4096, 1},
                        advice_case{"Notch", "1000 1\n1010 0.1\n1020 1\n", 256, 10}),
        [](const auto &p) { return p.param.name; });

// ---- the layout rule the page shares -----------------------------------

// Texts, the filter they are read for, and whether they read: the line that
// fails, or gains at chosen frequencies. The page's tests read the file too.
TEST(LayoutVectors, ReadAsThePageReadsThem)
{
	json vectors = json::parse(read_file(FIRLOAD_LAYOUT_VECTORS), nullptr, false);
	ASSERT_TRUE(vectors.is_array() && !vectors.empty());
	for (const json &v : vectors) {
		ASSERT_TRUE(v.is_object() && v.contains("text") && v.contains("ok"));
		const std::string text = v.value("text", "");
		SCOPED_TRACE(v.value("why", text));
		const auto length = v.value("length", int32_t{4096});
		std::vector<double> spectrum(static_cast<size_t>(length));
		std::vector<eq_segment> segments;
		int32_t normalize = -1;
		int line = 0;
		eq_output out{};
		out.error_line = &line;
		int ok = eq_build_spectrum(text.c_str(), v.value("rate", 48000.0), length,
		                           spectrum.data(), &normalize, out, &segments);
		ASSERT_EQ(ok == 1, v.value("ok", false));
		if (ok == 0) {
			EXPECT_EQ(line, v.value("line", 0));
			continue;
		}
		EXPECT_EQ(normalize == 1, v.value("normalize", false));
		for (const json &g : v.value("gains", json::array()))
			EXPECT_NEAR(eq_segments_gain(segments, g[0].get<double>()),
			            g[1].get<double>(), 1e-9)
			        << "at " << g[0] << " Hz";
	}
}

} // namespace
