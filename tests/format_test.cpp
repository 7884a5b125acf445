// The report's own number formatting against the C library's printf, for
// every width and precision the report and listing use.
#include "fixed.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace
{

// Width and precision of every conversion the designer prints with.
const int conversions[][2] = {{3, 1}, {2, 2}, {2, 7}, {0, 2}, {3, 7}, {0, 3}, {0, 10}};

std::string ours(double v, int width, int precision)
{
	char text[fixed_max + 8];
	char *end = format_fixed(text, v, width, precision);
	return std::string(text, end);
}

std::string libc(double v, int width, int precision)
{
	char text[fixed_max + 8];
	int n = std::snprintf(text, sizeof text, "%*.*lf", width, precision, v);
	return std::string(text, static_cast<size_t>(n));
}

void expect_same(double v)
{
	for (const auto &c : conversions)
		ASSERT_EQ(ours(v, c[0], c[1]), libc(v, c[0], c[1]))
		        << "%" << c[0] << "." << c[1] << "lf of " << std::hexfloat << v;
}

} // namespace

TEST(Format, EdgeValuesAsPrintf)
{
	const double nan = std::numeric_limits<double>::quiet_NaN();
	const double edges[] = {0.0,
	                        -0.0,
	                        0.05,
	                        0.15,
	                        0.25,
	                        0.125,
	                        -0.125,
	                        0.5,
	                        1.5,
	                        2.5,
	                        -0.00000000005,
	                        0.00000000005,
	                        0.000000000049999,
	                        1e-11,
	                        0.99999999995,
	                        9.95,
	                        99.95,
	                        999.95,
	                        0.0000000500000000001,
	                        1.0 / 3,
	                        2.0 / 3,
	                        12345.6789,
	                        1e15,
	                        1e22,
	                        1e300,
	                        -1e300,
	                        DBL_MAX,
	                        -DBL_MAX,
	                        DBL_MIN,
	                        DBL_TRUE_MIN,
	                        9007199254740993.0,
	                        HUGE_VAL,
	                        -HUGE_VAL,
	                        nan,
	                        -nan,
	                        1e-320,
	                        1e-5,
	                        -1e-5,
	                        6.02059991327962,
	                        -6.0205999132796,
	                        4.0000000000000001,
	                        0.30102999566398};
	for (double v : edges)
		expect_same(v);
}

TEST(Format, RandomDoublesAsPrintf)
{
	std::mt19937_64 bits(20261209);
	std::uniform_real_distribution<double> gains(-40, 40);
	for (int i = 0; i < 20000; i++) {
		uint64_t b = bits();
		double any;
		std::memcpy(&any, &b, sizeof any);
		expect_same(any);
		expect_same(std::pow(10.0, gains(bits) / 20)); // gains as a report shows them
	}
}
