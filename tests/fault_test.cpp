// Whatever the device answers and whatever the input holds, the tool ends,
// says what went wrong, and never writes a bad filter.
#include "harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace
{

struct fault_case {
	const char *name;
	std::vector<std::string> args; // after -d /dev/pcmx.ctl
	std::string input;
	env_list env;
	int status;
	const char *last; // how standard error ends; "" for no check
	int loaded;       // filters the device must have received
};

void PrintTo(const fault_case &c, std::ostream *os)
{
	*os << c.name;
}

class Fault : public testing::TestWithParam<fault_case>
{
};

TEST_P(Fault, EndsAndWritesNoBadFilter)
{
	const fault_case &c = GetParam();
	std::vector<std::string> args{"-d", "/dev/pcmx.ctl"};
	args.insert(args.end(), c.args.begin(), c.args.end());
	run_result r = run_tool(args, c.input, c.env, 30);
	ASSERT_FALSE(r.timed_out) << "no end within 30 s";
	EXPECT_EQ(r.status, c.status);
	EXPECT_TRUE(r.err.ends_with(c.last))
	        << r.err.substr(r.err.size() > 300 ? r.err.size() - 300 : 0);
	EXPECT_EQ(r.out, "");

	std::vector<std::vector<double>> filters = journal_filters(r.journal);
	EXPECT_EQ(filters.size(), static_cast<size_t>(c.loaded));
	for (const std::vector<double> &f : filters) {
		size_t n = f.size();
		for (size_t i = 0; i < n; i++)
			ASSERT_TRUE(std::isfinite(f[i])) << "tap " << i;
		for (size_t i = 0; i < n / 2; i++) // symmetric, even and odd
			EXPECT_EQ(f[n % 2 == 0 ? i + 1 : i], f[n - 1 - i]) << "tap " << i;
	}
	// Nothing is written once a step has failed.
	std::vector<std::string> requests = journal_requests(r.journal);
	bool failed = false;
	for (const std::string &line : requests) {
		if (failed) {
			EXPECT_EQ(line.find("-> loaded"), std::string::npos) << line;
		}
		failed = failed || line.ends_with("-> fail");
	}
}

const std::string layout = "50 2\n350 0.5\n";
const env_list n8 = {{"FIRLOAD_SIM_RATE", "800"}, {"FIRLOAD_SIM_LENGTH", "8"}};

env_list n8_with(const char *name, const char *value)
{
	env_list e = n8;
	std::erase_if(e, [&](const auto &p) { return p.first == name; });
	e.emplace_back(name, value);
	return e;
}

// clang-format off
const fault_case fault_cases[] = {
	// Each request failing in turn on the load path (the disable path's are
	// in the command-line table).
	{"OpenFails", {}, layout, n8_with("FIRLOAD_SIM_FAIL", "open"), 70,
	 "Cannot open DSP device\n", 0},
	{"RateFails", {}, layout, n8_with("FIRLOAD_SIM_FAIL", "rate"), 70,
	 "Cannot get sample rate\n", 0},
	{"FilterReadFails", {}, layout, n8_with("FIRLOAD_SIM_FAIL", "read"), 70,
	 "Cannot get current FIR filter\n", 0},
	{"PartInfoFails", {}, layout, n8_with("FIRLOAD_SIM_FAIL", "info"), 70,
	 "Cannot read part information\n", 0},
	{"FirstWriteFails", {}, layout, n8_with("FIRLOAD_SIM_FAIL", "write@0"), 70,
	 "Cannot set FIR filter on channel\n", 0},
	{"LaterWriteFails", {}, layout, n8_with("FIRLOAD_SIM_FAIL", "write@1"), 0,
	 " ms: 0.0015703916\n", 1},
	// Odd answers from the device.
	{"RateZero", {}, layout, n8_with("FIRLOAD_SIM_RATE", "0"), 70, "Invalid sample rate\n", 0},
	{"RateNegative", {}, layout, n8_with("FIRLOAD_SIM_RATE", "-1"), 70, "Invalid sample rate\n",
	 0},
	{"LengthZero", {}, layout, n8_with("FIRLOAD_SIM_LENGTH", "0"), 70,
	 "Invalid filter length\n", 0},
	{"LengthNegative", {}, layout, n8_with("FIRLOAD_SIM_LENGTH", "-2147483648"), 70,
	 "Invalid filter length\n", 0},
	{"LengthOne", {}, layout, n8_with("FIRLOAD_SIM_LENGTH", "1"), 0, "", 2},
	{"LengthTwo", {}, layout, n8_with("FIRLOAD_SIM_LENGTH", "2"), 0, "", 2},
	{"LengthThree", {}, layout, n8_with("FIRLOAD_SIM_LENGTH", "3"), 0, "", 2},
	{"RateOneHertz", {}, layout, n8_with("FIRLOAD_SIM_RATE", "1"), 0, "", 2},
	{"LargeLength", {"-q"}, layout, n8_with("FIRLOAD_SIM_LENGTH", "65536"), 0, "", 2},
	// Input.
	{"ReadError", {"-f", "/"}, "", n8, 70, "Cannot read EQ layout\n", 0},
	{"Oversize", {}, std::string(100000, ' '), n8, 70, "Too much input data\n", 0},
	{"NoFinalNewline", {}, "50 2\n350 0.5", n8, 0, " ms: 0.0015703916\n", 2},
	{"Binary", {}, std::string("\x01\xff\x80 1 2", 7), n8, 70,
	 "Parse error.\nInvalid equalizer data\n", 0},
	{"InfiniteGain", {}, "50 inf\n", n8, 70,
	 "Design error: non-finite coefficients.\nInvalid equalizer data\n", 0},
	{"OverflowingGains", {}, "10 1e308\n20 1.7e308\n", n8, 70,
	 "Design error: non-finite coefficients.\nInvalid equalizer data\n", 0},
	{"NotANumberFrequency", {}, "nan 1\n", n8, 70,
	 "Design error: non-finite coefficients.\nInvalid equalizer data\n", 0},
	{"NormalizedZeroFilter", {}, "normalize\n10 0\n", n8, 0, " ms: 0.0000000000\n", 2},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, Fault, testing::ValuesIn(fault_cases),
                         [](const auto &p) { return std::string(p.param.name); });

} // namespace
