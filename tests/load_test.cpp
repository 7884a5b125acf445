// The filter load end to end: layout in, coefficients in the device.
#include "eq.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace
{

const std::string dev = "/dev/pcmx.ctl";
const env_list small = {
        {"FIRLOAD_SIM_RATE", "800"}, {"FIRLOAD_SIM_LENGTH", "8"}, {"FIRLOAD_SIM_NAMES", "front"}};

// base with the settings of `more` put in place of its own
env_list with(env_list base, const env_list &more)
{
	for (const auto &[name, value] : more) {
		std::erase_if(base, [&](const auto &e) { return e.first == name; });
		base.emplace_back(name, value);
	}
	return base;
}

// Shape of the tool's standard error: report lines become "R", listing
// lines "L", everything else stays.
std::string shape(const std::string &err)
{
	std::istringstream in(err);
	std::string out;
	for (std::string line; std::getline(in, line);) {
		if (line.find(" Hz: requested ") != std::string::npos)
			out += "R\n";
		else if (line.find(" ms: ") != std::string::npos)
			out += "L\n";
		else
			out += line + "\n";
	}
	return out;
}

std::string design_shape(const std::string &text, int n, bool listing = true)
{
	std::string s = "\n\nReloading amplification specifications:\n" + text + "\n";
	for (int k = 0; k <= n / 2; k++)
		s += "R\n";
	for (int k = 0; listing && k < n; k++)
		s += "L\n";
	return s;
}

std::vector<std::string> load_journal(int n, int channels_ok, bool then_fail, bool info,
                                      const char *target = "tx_dev", int part = 0, int rate = 800)
{
	std::vector<std::string> j{j_open(), j_rate(rate), j_read(target, part, n)};
	if (info)
		j.push_back(j_info(std::string(target).ends_with("dev") ? "dev" : "loop", part,
		                   "name=front"));
	for (int c = 0; c < channels_ok; c++)
		j.push_back(j_write(target, part, c, n, "ADDR", "loaded"));
	if (then_fail)
		j.push_back(j_write(target, part, channels_ok, n, "ADDR", "fail"));
	j.push_back(j_close());
	return j;
}

struct load_case {
	const char *name;
	std::vector<std::string> args;
	std::string input;
	env_list env;
	int status;
	std::string err_shape; // shape() of standard error
	std::vector<std::string> journal;
};

void PrintTo(const load_case &c, std::ostream *os)
{
	*os << c.name;
}

class Load : public testing::TestWithParam<load_case>
{
};

TEST_P(Load, StatusOutputAndRequests)
{
	const load_case &c = GetParam();
	run_result r = run_tool(c.args, c.input, c.env);
	ASSERT_FALSE(r.timed_out);
	EXPECT_EQ(r.status, c.status);
	EXPECT_EQ(shape(r.err), c.err_shape);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(journal_requests(r.journal), c.journal);
}

const std::string flat8 = design_shape("", 8);
const std::string prompt = "Please enter EQ layout for front, <freq> <gain>:\n";
const std::string loading = "Loading new EQ layout\n";
const std::string example = "50 2\n350 0.5\n";

// Layouts of a given size: one breakpoint above the highest bin, then
// filler that is never scanned.
std::string sized(size_t bytes, char filler = 'x')
{
	std::string s = "1000 1\n";
	s.resize(bytes, filler);
	return s;
}

// clang-format off
const load_case load_cases[] = {
	{"StandardInput", {"-d", dev}, example, small, 0,
	 flat8 + prompt + loading + design_shape(example, 8), load_journal(8, 2, true, true)},
	{"EmptyInputLoadsFlat", {"-d", dev}, "", small, 0,
	 flat8 + prompt + loading + design_shape("", 8), load_journal(8, 2, true, true)},
	{"LoopPartInformation", {"-d", dev, "-w", "rx_loop", "-p", "1"}, example, with(small,
	 {{"FIRLOAD_SIM_PARTS", "2"}, {"FIRLOAD_SIM_NAMES", "x|front"}}), 0,
	 flat8 + prompt + loading + design_shape(example, 8), load_journal(8, 2, true, true,
	 "rx_loop", 1)},
	{"OneChannel", {"-d", dev, "-c", "1"}, example, small, 0,
	 flat8 + prompt + loading + design_shape(example, 8), load_journal(8, 1, false, true)},
	{"Quiet", {"-q", "-d", dev}, example, small, 0, "", load_journal(8, 2, true, true)},
	{"OddLength", {"-d", dev}, example, with(small, {{"FIRLOAD_SIM_LENGTH", "7"}}), 0,
	 design_shape("", 7) + prompt + loading + design_shape(example, 7), load_journal(7, 2, true,
	 true)},
	{"ExactlyTheLimit", {"-d", dev}, sized(65534), small, 0,
	 flat8 + prompt + loading + design_shape(sized(65534), 8), load_journal(8, 2, true, true)},
	{"OneByteTooMany", {"-d", dev}, sized(65535), small, 70,
	 flat8 + prompt + "Too much input data\n", load_journal(8, 0, false, true)},
	{"NulEndsLayout", {"-d", dev}, example + std::string(1, '\0') + "garbage", small, 0,
	 flat8 + prompt + loading + design_shape(example, 8), load_journal(8, 2, true, true)},
	{"BytesAfterNulCount", {"-d", dev}, example + std::string(1, '\0') + sized(65535), small,
	 70, flat8 + prompt + "Too much input data\n", load_journal(8, 0, false, true)},
	{"ParseError", {"-d", dev}, "50 2\n10 1\n", small, 70,
	 flat8 + prompt + loading + "\n\nReloading amplification specifications:\n50 2\n10 1\n\n" + "Parse error: Nonincreasing sequence of frequencies.\nInvalid equalizer data\n",
	 load_journal(8, 0, false, true)},
	{"NonFiniteDesign", {"-d", dev}, "50 nan\n", small, 70,
	 flat8 + prompt + loading + design_shape("50 nan\n", 8,
	 false) + "Design error: non-finite coefficients.\nInvalid equalizer data\n",
	 load_journal(8, 0, false, true)},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, Load, testing::ValuesIn(load_cases),
                         [](const auto &p) { return std::string(p.param.name); });

// With -f: no part information, no prompt, and the file is designed.
TEST(LoadFile, NoPromptAndLimits)
{
	for (size_t size : {size_t{0}, size_t{100}, size_t{65534}, size_t{65535}}) {
		std::string text = size == 0 ? example : sized(size, ' ');
		temp_file layout(text);
		run_result r = run_tool({"-d", dev, "-f", layout.path}, "", small);
		bool too_much = size == 65535;
		EXPECT_EQ(r.status, too_much ? 70 : 0) << size;
		EXPECT_EQ(shape(r.err), too_much ? flat8 + "Too much input data\n"
		                                 : flat8 + design_shape(text, 8))
		        << size;
		EXPECT_EQ(journal_requests(r.journal),
		          load_journal(8, too_much ? 0 : 2, !too_much, false))
		        << size;
	}
}

// What the device received is what the designer made: every channel holds
// the same bits, equal to the listing and to an in-process design.
TEST(LoadFile, DeviceReceivesTheDesign)
{
	for (int32_t n : {64, 65}) {
		const char *text = "40 2.5\n100 1.6\n400 1\n2500 0.85\n5000 1\n10000 1.4\n";
		temp_file layout(text);
		run_result r = run_tool(
		        {"-d", dev, "-f", layout.path}, "",
		        {{"FIRLOAD_SIM_LENGTH", std::to_string(n)}, {"FIRLOAD_SIM_CHANNELS", "3"}});
		ASSERT_EQ(r.status, 0) << r.err;
		std::vector<std::vector<double>> filters = journal_filters(r.journal);
		ASSERT_EQ(filters.size(), 3u);

		std::vector<std::string> listing;
		std::istringstream in(r.err.substr(r.err.rfind("Reloading")));
		for (std::string line; std::getline(in, line);)
			if (line.find(" ms: ") != std::string::npos)
				listing.push_back(line.substr(line.find(": ") + 2));
		ASSERT_EQ(listing.size(), static_cast<size_t>(n));

		eq_state state;
		ASSERT_EQ(eq_init(state, 48000, n), 1);
		capture_stderr([&] { eq_design(state, text); });
		for (const std::vector<double> &f : filters) {
			ASSERT_EQ(f.size(), static_cast<size_t>(n));
			EXPECT_EQ(0, std::memcmp(f.data(), filters[0].data(),
			                         f.size() * sizeof(double)));
			for (size_t i = 0; i < f.size(); i++) {
				char printed[64];
				std::snprintf(printed, sizeof printed, "%.10lf", f[i]);
				EXPECT_EQ(listing[i], printed) << "tap " << i;
				EXPECT_NEAR(f[i], state.time[i], 1e-14) << "tap " << i;
			}
		}
		eq_free(state);
	}
}

// The prompt names the part: a name filling the whole field has 76
// characters and no NUL.
TEST(LoadPrompt, LongestName)
{
	std::string name(80, 'n');
	for (int i = 0; i < 80; i++)
		name[static_cast<size_t>(i)] = static_cast<char>('a' + i % 26);
	run_result r = run_tool({"-d", dev}, "", with(small, {{"FIRLOAD_SIM_NAMES", name}}));
	EXPECT_EQ(r.status, 0);
	EXPECT_NE(r.err.find("Please enter EQ layout for " + name.substr(0, 76) +
	                     ", <freq> <gain>:\n"),
	          std::string::npos)
	        << r.err;
}

// The prompt is out before the tool waits for input on a terminal or pipe.
TEST(LoadPrompt, FlushedBeforeWaiting)
{
	int in[2], err[2];
	ASSERT_EQ(pipe(in), 0);
	ASSERT_EQ(pipe(err), 0);
	temp_file journal("");
	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		dup2(in[0], 0);
		dup2(err[1], 2);
		close(in[1]);
		close(err[0]);
		setenv("LD_PRELOAD", FIRLOAD_SIM_LIB, 1);
		setenv("FIRLOAD_SIM_RATE", "800", 1);
		setenv("FIRLOAD_SIM_LENGTH", "8", 1);
		setenv("FIRLOAD_SIM_JOURNAL", journal.path.c_str(), 1);
		setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
		execl(FIRLOAD_BINARY, "firload", "-d", "/dev/pcmx.ctl",
		      static_cast<char *>(nullptr));
		_exit(127);
	}
	close(in[0]);
	close(err[1]);
	std::string seen;
	pollfd p{err[0], POLLIN, 0};
	while (seen.find("<freq> <gain>:\n") == std::string::npos && poll(&p, 1, 20000) == 1) {
		char chunk[4096];
		ssize_t got = read(err[0], chunk, sizeof chunk);
		if (got <= 0)
			break;
		seen.append(chunk, static_cast<size_t>(got));
	}
	EXPECT_TRUE(seen.ends_with("Please enter EQ layout for pcmx part 0, <freq> <gain>:\n"))
	        << seen;
	EXPECT_EQ(read_file(journal.path).find("fir_write"), std::string::npos); // still waiting
	ASSERT_EQ(write(in[1], "50 2\n", 5), 5);
	close(in[1]);
	char rest[65536];
	while (read(err[0], rest, sizeof rest) > 0) {
	}
	close(err[0]);
	int status = 0;
	waitpid(pid, &status, 0);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
	EXPECT_EQ(journal_filters(read_file(journal.path)).size(), 2u);
}

} // namespace
