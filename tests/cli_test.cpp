// The command line and the disable path, run end to end under the stand-in.
#include "harness.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

struct cli_case {
	const char *name;
	std::vector<std::string> args;
	env_list env;
	int status;
	std::string err;
	std::vector<std::string> journal;
};

void PrintTo(const cli_case &c, std::ostream *os)
{
	*os << c.name;
}

std::string usage_after(const std::string &message)
{
	return message + usage_text;
}

const std::string dev = "/dev/pcmx.ctl";

// The requests of a disable run on part `part` of `target`, N = 512, that
// writes `ok` channels and then, if `then_fail`, sees the next one refused.
std::vector<std::string> disable_journal(const char *target, int part, int ok, bool then_fail)
{
	std::vector<std::string> j{j_open(), j_rate(48000), j_read(target, part, 512)};
	for (int c = 0; c < ok; c++)
		j.push_back(j_write(target, part, c, 512, "null", "off"));
	if (then_fail)
		j.push_back(j_write(target, part, ok, 512, "null", "fail"));
	j.push_back(j_close());
	return j;
}

class Cli : public testing::TestWithParam<cli_case>
{
};

// The expectations above take getopt_long's words from this system's C
// library; they must be words.
TEST(Cli, GetoptComplains)
{
	for (const char *arg : {"-x", "--bogus", "--off=1", "-d"})
		EXPECT_EQ(getopt_complaint({arg}).rfind("firload: ", 0), 0u) << arg;
}

TEST_P(Cli, StatusMessagesAndRequests)
{
	const cli_case &c = GetParam();
	run_result r = run_tool(c.args, "", c.env);
	ASSERT_FALSE(r.timed_out);
	EXPECT_EQ(r.status, c.status);
	EXPECT_EQ(r.err, c.err);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(journal_requests(r.journal), c.journal);
}

// clang-format off
const cli_case cli_cases[] = {
	// Option errors: message, usage text, 64, device untouched.
	{"ZeroChannels", {"-d", dev, "-c", "0", "-o"}, {}, 64,
	 usage_after("Wrong number of channels\n"), {}},
	{"ChannelsNotANumber", {"-d", dev, "-c", "x", "-o"}, {}, 64,
	 usage_after("Wrong number of channels\n"), {}},
	{"NegativePart", {"-d", dev, "-p", "-1", "-o"}, {}, 64,
	 usage_after("Invalid part number\n"), {}},
	{"QuietBeforeError", {"-q", "-p", "-1"}, {}, 64, "", {}},
	{"QuietAfterError", {"-p", "-1", "-q"}, {}, 64, usage_after("Invalid part number\n"), {}},
	{"KeywordCaseMatters", {"-d", dev, "-w", "TX_DEV"}, {}, 64,
	 usage_after("Bad -w argument not recognized\n"), {}},
	{"TwoFiles", {"-d", dev, "-f", "/etc/passwd", "-f", "/etc/passwd"}, {}, 64,
	 usage_after("Can only specify one file\n"), {}},
	{"FileCannotOpen", {"-d", dev, "-f", "/nonexistent/layout", "-o"}, {}, 64,
	 usage_after("Cannot open specified file\n"), {}},
	{"Help", {"-d", dev, "-h", "-o"}, {}, 64, usage_text, {}},
	{"UnknownShort", {"-x"}, {}, 64, usage_after(getopt_complaint({"-x"})), {}},
	{"UnknownLong", {"--bogus"}, {}, 64,
	 usage_after(getopt_complaint({"--bogus"})), {}},
	{"LongTakesNoValue", {"--off=1"}, {}, 64,
	 usage_after(getopt_complaint({"--off=1"})), {}},
	{"MissingArgument", {"-d"}, {}, 64,
	 usage_after(getopt_complaint({"-d"})), {}},
	// Numbers outside 32 bits are refused instead of wrapping.
	{"PartWrapsToOne", {"-d", dev, "-p", "4294967297", "-o"}, {}, 64,
	 usage_after("Invalid part number\n"), {}},
	{"PartJustAbove32Bits", {"-d", dev, "-p", "2147483648", "-o"}, {}, 64,
	 usage_after("Invalid part number\n"), {}},
	{"ChannelsWrapToZero", {"-d", dev, "-c", "4294967296", "-o"}, {}, 64,
	 usage_after("Wrong number of channels\n"), {}},
	{"ChannelsBelow32Bits", {"-d", dev, "-c", "-2147483649", "-o"}, {}, 64,
	 usage_after("Wrong number of channels\n"), {}},
	{"LargestPartAccepted", {"-d", dev, "-p", "2147483647", "-o"}, {}, 70,
	 "Cannot get current FIR filter\n", {j_open(), j_rate(48000), j_read("tx_dev", 2147483647,
	 INT32_MIN), j_close()}},
	// atoi's reading otherwise.
	{"PartNotANumberIsZero", {"-d", dev, "-p", "x", "-o"}, {}, 0, "", disable_journal("tx_dev",
	 0, 2, true)},
	{"PartSpacesAndTail", {"-d", dev, "-p", " +1abc", "-o"}, {{"FIRLOAD_SIM_PARTS", "2"}}, 0,
	 "", disable_journal("tx_dev", 1, 2, true)},
	// Device access failures.
	{"NoDevice", {"-o"}, {}, 70, "Cannot open DSP device\n", {}},
	{"OpenFails", {"-d", dev, "-o"}, {{"FIRLOAD_SIM_FAIL", "open"}}, 70,
	 "Cannot open DSP device\n", {"open path=/dev/pcmx.ctl flags=rdwr -> fail"}},
	{"RateFails", {"-d", dev, "-o"}, {{"FIRLOAD_SIM_FAIL", "rate"}}, 70,
	 "Cannot get sample rate\n", {j_open(), "ioctl rate request=0x40044f2a -> fail",
	 j_close()}},
	{"FilterReadFails", {"-d", dev, "-o"}, {{"FIRLOAD_SIM_FAIL", "read"}}, 70,
	 "Cannot get current FIR filter\n", {j_open(), j_rate(48000), j_read("tx_dev", 0,
	 INT32_MIN), j_close()}},
	{"NoSuchPart", {"-d", dev, "-p", "3", "-o"}, {}, 70, "Cannot get current FIR filter\n",
	 {j_open(), j_rate(48000), j_read("tx_dev", 3, INT32_MIN), j_close()}},
	{"QuietFailure", {"-q", "-d", dev, "-o"}, {{"FIRLOAD_SIM_FAIL", "rate"}}, 70, "", {j_open(),
	 "ioctl rate request=0x40044f2a -> fail", j_close()}},
	// The disable path and the channel sweep.
	{"DisableAll", {"-d", dev, "-o"}, {}, 0, "", disable_journal("tx_dev", 0, 2, true)},
	{"DisableOne", {"-d", dev, "-o", "-c", "1"}, {}, 0, "", disable_journal("tx_dev", 0, 1,
	 false)},
	{"DisableMoreThanThere", {"-d", dev, "-o", "-c", "5"}, {}, 0, "", disable_journal("tx_dev",
	 0, 2, true)},
	{"NegativeCountIsNoLimit", {"-d", dev, "-o", "-c", "-3"}, {{"FIRLOAD_SIM_CHANNELS", "4"}},
	 0, "", disable_journal("tx_dev", 0, 4, true)},
	{"DisableFirstRefused", {"-d", dev, "-o"}, {{"FIRLOAD_SIM_FAIL", "write@0"}}, 70,
	 "Cannot disable FIR filter\n", disable_journal("tx_dev", 0, 0, true)},
	{"LaterRefusalSilent", {"-d", dev, "-o"}, {{"FIRLOAD_SIM_FAIL", "write@1"}}, 0, "",
	 disable_journal("tx_dev", 0, 1, true)},
	{"DisableIgnoresBadRateAndLength", {"-d", dev, "-o", "-c", "1"}, {{"FIRLOAD_SIM_RATE", "0"},
	 {"FIRLOAD_SIM_LENGTH", "-4"}}, 0, "", {j_open(), j_rate(0), j_read("tx_dev", 0, -4),
	 j_write("tx_dev", 0, 0, -4, "null", "off"), j_close()}},
	{"RxLoopPartOne", {"-d", dev, "-w", "rx_loop", "-p", "1", "-o"}, {{"FIRLOAD_SIM_PARTS",
	 "2"}}, 0, "", disable_journal("rx_loop", 1, 2, true)},
	{"LastOptionWins", {"-d", "/dev/other", "-d", dev, "-w", "rx_dev", "-w", "tx_loop", "-c",
	 "2", "-c", "1", "-o"}, {}, 0, "", disable_journal("tx_loop", 0, 1, false)},
	{"LongFileWithEquals", {"--device", dev, "--file=/etc/passwd", "--off", "--channels", "1"},
	 {}, 0, "", disable_journal("tx_dev", 0, 1, false)},
	// An operand is never designed in place of the file it names.
	{"OperandRefused", {"-d", dev, "examples/bass-boost.eq"}, {}, 64, usage_after(
	 "Unexpected operand examples/bass-boost.eq: give the layout file with -f\n"), {}},
	{"OperandAfterOptionsQuiet", {"-q", "-d", dev, "-o", "--", "x"}, {}, 64, "", {}},
	{"LongFileNextWord", {"--device=" + dev, "--file", "/nonexistent/x", "--off"}, {}, 64,
	 usage_after("Cannot open specified file\n"), {}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, Cli, testing::ValuesIn(cli_cases),
                         [](const auto &p) { return std::string(p.param.name); });

} // namespace
