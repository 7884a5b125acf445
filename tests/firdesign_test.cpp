// firdesign end to end: the real binary, under the device stand-in where a
// device is named.
#include "harness.h"
#include "plot.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <set>
#include <sstream>

namespace
{

run_result design(const std::vector<std::string> &args, const std::string &input = "",
                  const env_list &env = {})
{
	return run_program(FIRDESIGN_BINARY, "firdesign", args, input, env);
}

// A scratch folder, emptied and removed at the end.
struct scratch {
	std::string dir;
	scratch()
	{
		char name[] = "/tmp/firdesign-test-XXXXXX";
		dir = mkdtemp(name);
	}
	~scratch() { std::system(("rm -rf '" + dir + "'").c_str()); }
	std::string at(const char *name) const { return dir + "/" + name; }
	std::set<std::string> names() const
	{
		std::set<std::string> all;
		if (DIR *d = opendir(dir.c_str())) {
			while (dirent *e = readdir(d))
				if (std::strcmp(e->d_name, ".") != 0 &&
				    std::strcmp(e->d_name, "..") != 0)
					all.insert(e->d_name);
			closedir(d);
		}
		return all;
	}
};

std::vector<double> read_raw(const std::string &path, size_t width)
{
	std::string bytes = read_file(path);
	std::vector<double> taps;
	for (size_t at = 0; at + width <= bytes.size(); at += width) {
		uint64_t bits = 0;
		for (size_t b = 0; b < width; b++)
			bits |= uint64_t{static_cast<unsigned char>(bytes[at + b])} << (8 * b);
		if (width == 8) {
			double v;
			std::memcpy(&v, &bits, 8);
			taps.push_back(v);
		} else {
			auto narrow = static_cast<uint32_t>(bits);
			float v;
			std::memcpy(&v, &narrow, 4);
			taps.push_back(static_cast<double>(v));
		}
	}
	return taps;
}

const char *const boost = "60 2\n150 2\n300 1\n";
const char *const normalized = "normalize\n2000 1\n8000 2\n";

} // namespace

// The taps firdesign exports are the ones firload loads, bit for bit, with
// the rate and length taken from the device, and every format reads back.
struct taps_case {
	const char *name;
	const char *layout;
	int length;
	int rate;
};

class Taps : public testing::TestWithParam<taps_case>
{
};

TEST_P(Taps, EqualWhatFirloadLoadsInEveryFormat)
{
	const taps_case &c = GetParam();
	scratch s;
	temp_file layout(c.layout);
	env_list env = {{"FIRLOAD_SIM_RATE", std::to_string(c.rate)},
	                {"FIRLOAD_SIM_LENGTH", std::to_string(c.length)}};
	run_result loaded = run_tool({"-q", "-d", "/dev/pcmx.ctl", "-f", layout.path}, "", env);
	ASSERT_EQ(loaded.status, 0);
	std::vector<std::vector<double>> filters = journal_filters(loaded.journal);
	ASSERT_FALSE(filters.empty());
	const std::vector<double> &want = filters[0];

	run_result r = design({"-d", "/dev/pcmx.ctl", "-q", "-T", s.at("t.txt"), "-T",
	                       s.at("t.f64"), layout.path},
	                      "", env);
	// -T twice keeps the last; the text file is made by a run of its own.
	ASSERT_EQ(r.status, 0) << r.err;
	ASSERT_EQ(design({"-d", "/dev/pcmx.ctl", "-q", "-T", s.at("t.txt"), layout.path}, "", env)
	                  .status,
	          0);
	ASSERT_EQ(design({"-r", std::to_string(c.rate), "-n", std::to_string(c.length), "-q", "-T",
	                  s.at("t.f32"), "-T", s.at("t.wav"), layout.path})
	                  .status,
	          0);
	ASSERT_EQ(design({"-r", std::to_string(c.rate), "-n", std::to_string(c.length), "-q", "-T",
	                  s.at("t.f32"), layout.path})
	                  .status,
	          0);
	// The device is only read: no filter write in its journal.
	EXPECT_EQ(r.journal.find("fir_write"), std::string::npos);
	EXPECT_NE(r.journal.find("fir_read"), std::string::npos);

	std::vector<double> text;
	std::istringstream in(read_file(s.at("t.txt")));
	for (std::string line; std::getline(in, line);)
		text.push_back(std::strtod(line.c_str(), nullptr));
	EXPECT_EQ(text, want);
	EXPECT_EQ(read_raw(s.at("t.f64"), 8), want);
	std::vector<double> narrow(want.begin(), want.end());
	for (double &v : narrow)
		v = static_cast<double>(static_cast<float>(v));
	EXPECT_EQ(read_raw(s.at("t.f32"), 4), narrow);

	SF_INFO info{};
	SNDFILE *wav = sf_open(s.at("t.wav").c_str(), SFM_READ, &info);
	ASSERT_NE(wav, nullptr);
	EXPECT_EQ(info.samplerate, c.rate);
	EXPECT_EQ(info.channels, 1);
	EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
	std::vector<float> samples(want.size() + 1);
	EXPECT_EQ(sf_readf_float(wav, samples.data(), static_cast<sf_count_t>(samples.size())),
	          static_cast<sf_count_t>(want.size()));
	sf_close(wav);
	for (size_t i = 0; i < want.size(); i++)
		EXPECT_EQ(samples[i], static_cast<float>(want[i])) << i;
}

INSTANTIATE_TEST_SUITE_P(Table, Taps,
                         testing::Values(taps_case{"Boost", boost, 512, 48000},
                                         taps_case{"Odd", boost, 255, 44100},
                                         taps_case{"Normalized", normalized, 1024, 96000}),
                         [](const auto &p) { return p.param.name; });

// The response table against a direct evaluation of the exported taps.
TEST(Response, TableMatchesDirectEvaluation)
{
	scratch s;
	run_result r = design({"-n", "300", "-r", "44100", "-T", s.at("t.txt"), "-R", "-"}, boost);
	ASSERT_EQ(r.status, 0) << r.err;
	std::vector<double> taps;
	std::istringstream tin(read_file(s.at("t.txt")));
	for (std::string line; std::getline(tin, line);)
		taps.push_back(std::strtod(line.c_str(), nullptr));
	ASSERT_EQ(taps.size(), 300u);

	std::istringstream in(r.out);
	std::string line;
	std::getline(in, line);
	EXPECT_EQ(line, "frequency_hz,requested_db,achieved_db");
	int rows = 0;
	double last = 0;
	while (std::getline(in, line)) {
		double f, req, got;
		ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%lf,%lf", &f, &req, &got), 3) << line;
		long double re = 0, im = 0;
		for (size_t n = 0; n < taps.size(); n++) {
			long double w = 2 * 3.14159265358979323846L * static_cast<long double>(f) *
			                static_cast<long double>(n) / 44100;
			re += static_cast<long double>(taps[n]) * std::cos(w);
			im -= static_cast<long double>(taps[n]) * std::sin(w);
		}
		double direct = 20 * std::log10(static_cast<double>(std::sqrt(re * re + im * im)));
		EXPECT_NEAR(got, direct, 1e-6) << line;
		// The request: 2 up to 150 Hz, falling linearly to 1 at 300 Hz.
		double g = f <= 150 ? 2 : f >= 300 ? 1 : 2 - (f - 150) / 150;
		EXPECT_NEAR(req, 20 * std::log10(g), 1e-8) << line;
		last = f;
		rows++;
	}
	EXPECT_EQ(rows, 1 + static_cast<int>(std::ceil(48 * std::log2(22050.0 / 10))));
	EXPECT_EQ(last, 22050);
}

// Minimum phase: the table's fourth column is the taps' group delay,
// Re(sum n t[n] e^(-jwn) / H(w)), in ms.
TEST(Response, MinimumPhaseDelayMatchesDirectEvaluation)
{
	scratch s;
	run_result r = design(
	        {"-n", "300", "-r", "44100", "--phase", "minimum", "-T", s.at("t.txt"), "-R", "-"},
	        boost);
	ASSERT_EQ(r.status, 0) << r.err;
	std::vector<long double> taps;
	std::istringstream tin(read_file(s.at("t.txt")));
	for (std::string line; std::getline(tin, line);)
		taps.push_back(std::strtold(line.c_str(), nullptr));
	std::istringstream in(r.out);
	std::string line;
	std::getline(in, line);
	EXPECT_EQ(line, "frequency_hz,requested_db,achieved_db,group_delay_ms");
	while (std::getline(in, line)) {
		double f, req, got, delay;
		ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%lf,%lf,%lf", &f, &req, &got, &delay), 4);
		std::complex<long double> h = 0, d = 0;
		for (size_t n = 0; n < taps.size(); n++) {
			auto w = std::polar(1.0L, -2 * 3.14159265358979323846L * f * n / 44100);
			h += taps[n] * w;
			d += taps[n] * static_cast<long double>(n) * w;
		}
		EXPECT_NEAR(got, static_cast<double>(20 * std::log10(std::abs(h))), 1e-6) << line;
		EXPECT_NEAR(delay, static_cast<double>((d / h).real() * 1000 / 44100), 1e-9)
		        << line;
	}
}

// The summary on layouts whose answer is known.
TEST(Summary, FiguresOfKnownLayouts)
{
	run_result flat2 = design({"-r", "44100", "-n", "1000"}, "0 2\n");
	ASSERT_EQ(flat2.status, 0) << flat2.err;
	EXPECT_EQ(flat2.out, "rate: 44100 Hz\n"
	                     "length: 1000 taps\n"
	                     "latency: 500 samples, 11.338 ms\n"
	                     "bin spacing: 44.100 Hz\n"
	                     "peak gain: 6.02 dB at 0.0 Hz\n"
	                     "largest deviation: 0.00 dB at 20.0 Hz\n"
	                     "sum of |taps|: 2.0000\n"
	                     "advice: lower the source by 6.02 dB to avoid clipping\n");
	// Minimum phase: the impulse at tap 0, no delay at any frequency.
	run_result min2 = design({"-r", "44100", "-n", "1000", "--phase", "minimum"}, "0 2\n");
	ASSERT_EQ(min2.status, 0) << min2.err;
	EXPECT_EQ(min2.out, "rate: 44100 Hz\n"
	                    "length: 1000 taps\n"
	                    "latency: 0 samples, 0.000 ms at the impulse peak\n"
	                    "group delay: 0.00 to 0.00 ms\n"
	                    "bin spacing: 44.100 Hz\n"
	                    "peak gain: 6.02 dB at 0.0 Hz\n"
	                    "largest deviation: 0.00 dB at 20.0 Hz\n"
	                    "sum of |taps|: 2.0000\n"
	                    "advice: lower the source by 6.02 dB to avoid clipping\n");

	// A 12 dB step at 1 kHz is beyond 64 taps. The advised length meets
	// 1 dB, half of it does not.
	const char *step = "999 0.25\n1000 1\n";
	run_result r64 = design({"-n", "64"}, step);
	ASSERT_EQ(r64.status, 0) << r64.err;
	int advised = 0;
	const char *at = std::strstr(r64.out.c_str(), "advice: ");
	ASSERT_NE(at, nullptr) << r64.out;
	ASSERT_EQ(std::sscanf(at, "advice: %d taps would bring", &advised), 1) << r64.out;
	auto deviation = [&](int n) {
		run_result r = design({"-n", std::to_string(n)}, step);
		double db = 0;
		const char *line = std::strstr(r.out.c_str(), "largest deviation: ");
		EXPECT_TRUE(line != nullptr &&
		            std::sscanf(line, "largest deviation: %lf", &db) == 1);
		return std::fabs(db);
	};
	EXPECT_LE(deviation(advised), 1.0);
	EXPECT_GT(deviation(advised / 2), 1.0);
}

// --report prints what firload prints for the layout, byte for byte.
TEST(Report, SameAsFirload)
{
	temp_file layout(normalized);
	env_list env = {{"FIRLOAD_SIM_RATE", "44100"}, {"FIRLOAD_SIM_LENGTH", "300"}};
	run_result loaded = run_tool({"-d", "/dev/pcmx.ctl", "-f", layout.path}, "", env);
	ASSERT_EQ(loaded.status, 0);
	// firload designs the flat filter first; the layout's run is the second.
	size_t second = loaded.err.find("\n\nReloading", 1);
	ASSERT_NE(second, std::string::npos);
	run_result r = design({"-r", "44100", "-n", "300", "--report", layout.path});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, loaded.err.substr(second));
}

// An imported source becomes a layout firload loads as it is.
TEST(Import, FirloadLoadsTheLayout)
{
	scratch s;
	run_result made = design({"-q", "-n", "512", "-L", s.at("hp.eq"), "-T", s.at("hp.txt"),
	                          std::string(FIRLOAD_EXAMPLES) + "/headphone-parametric.txt"});
	ASSERT_EQ(made.status, 0) << made.err;
	run_result loaded = run_tool({"-q", "-d", "/dev/pcmx.ctl", "-f", s.at("hp.eq")});
	EXPECT_EQ(loaded.status, 0);
	std::vector<std::vector<double>> filters = journal_filters(loaded.journal);
	ASSERT_EQ(filters.size(), 2u);
	std::vector<double> taps;
	std::istringstream in(read_file(s.at("hp.txt")));
	for (std::string line; std::getline(in, line);)
		taps.push_back(std::strtod(line.c_str(), nullptr));
	EXPECT_EQ(filters[0], taps);
}

// Failures: the right status and message, nothing created, nothing replaced.
struct failure_case {
	const char *name;
	std::vector<std::string> args; // "@" is the scratch folder
	std::string input;
	env_list env;
	int status;
	const char *message;
};

void PrintTo(const failure_case &c, std::ostream *os)
{
	*os << c.name;
}

class Failure : public testing::TestWithParam<failure_case>
{
};

TEST_P(Failure, LeavesFilesAlone)
{
	const failure_case &c = GetParam();
	scratch s;
	for (const char *name : {"old.csv", "old.txt"}) {
		FILE *f = std::fopen(s.at(name).c_str(), "w");
		std::fputs("keep", f);
		std::fclose(f);
	}
	std::vector<std::string> args;
	for (const std::string &a : c.args)
		args.push_back(a[0] == '@' ? s.dir + a.substr(1) : a);
	run_result r = design(args, c.input, c.env);
	EXPECT_EQ(r.status, c.status);
	EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(s.names(), (std::set<std::string>{"old.csv", "old.txt"}));
	EXPECT_EQ(read_file(s.at("old.csv")), "keep");
	EXPECT_EQ(read_file(s.at("old.txt")), "keep");
	EXPECT_EQ(r.journal.find("fir_write"), std::string::npos);
}

const std::vector<std::string> all_outputs = {"-R", "@/old.csv", "-T", "@/old.txt",
                                              "-P", "@/new.svg", "-L", "@/new.eq"};

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string> &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

INSTANTIATE_TEST_SUITE_P(
        Table, Failure,
        testing::Values(
                failure_case{
                        "ParseError", all_outputs, "50 x\n", {}, 65, "input:1: Parse error.\n"},
                failure_case{"NonFinite",
                             all_outputs,
                             "50 inf\n",
                             {},
                             65,
                             "firdesign: Design error: non-finite coefficients.\n"},
                failure_case{"MissingFolder",
                             plus(all_outputs, {"-T", "@/no/t.f64"}),
                             boost,
                             {},
                             73,
                             "firdesign: cannot create "},
                failure_case{"NoInput",
                             plus(all_outputs, {"@/none.eq"}),
                             "",
                             {},
                             66,
                             "firdesign: cannot open "},
                failure_case{"TooMuch",
                             all_outputs,
                             std::string(70000, ' '),
                             {},
                             65,
                             "firdesign: Too much input data\n"},
                failure_case{"UnknownFormat",
                             plus(all_outputs, {"-T", "@/t.mp3"}),
                             boost,
                             {},
                             64,
                             "firdesign: taps file must end in"},
                failure_case{"DeviceWithLength",
                             plus(all_outputs, {"-d", "/dev/pcmx.ctl", "-n", "8"}),
                             boost,
                             {},
                             64,
                             "firdesign: -d takes the rate"},
                failure_case{"DeviceLengthZero",
                             plus(all_outputs, {"-d", "/dev/pcmx.ctl"}),
                             boost,
                             {{"FIRLOAD_SIM_LENGTH", "0"}},
                             70,
                             "firdesign: Invalid filter length\n"},
                failure_case{"EqapoRefused",
                             plus(all_outputs, {"-i", "eqapo"}),
                             "Preamp: 1 dB\nFilter: ON XX Fc 100 Hz\n",
                             {},
                             65,
                             "firdesign: standard input:2: unknown filter type 'XX'\n"},
                failure_case{"ControlCharactersEscaped",
                             plus(all_outputs, {"-i", "eqapo"}),
                             "Filter: ON \033]0;x\a Fc 100 Hz\n",
                             {},
                             65,
                             "unknown filter type '\\033]0;x\\a'\n"},
                failure_case{"RewOnePoint",
                             all_outputs,
                             "* REW\n20 70\n",
                             {},
                             65,
                             "firdesign: standard input:2: a curve needs two points"},
                failure_case{"PhaseUnknown",
                             plus(all_outputs, {"--phase", "mixed"}),
                             boost,
                             {},
                             64,
                             "firdesign: --phase takes linear or minimum: mixed\n"},
                failure_case{"ReportIsLinear",
                             {"--report", "--phase", "minimum"},
                             boost,
                             {},
                             64,
                             "firdesign: --report is firload's linear-phase report"},
                failure_case{"SmoothNeedsRew",
                             plus(all_outputs, {"--smooth", "3"}),
                             boost,
                             {},
                             64,
                             "firdesign: --smooth, --target, --range"},
                failure_case{"Utf16",
                             all_outputs,
                             std::string("\xff\xfe"
                                         "1\0"
                                         "0\0"
                                         "0\0"
                                         " \0"
                                         "2\0",
                                         12),
                             {},
                             65,
                             "standard input: the text is in UTF-16"},
                failure_case{"LayoutLine",
                             all_outputs,
                             "100 1\n\n50 2\n",
                             {},
                             65,
                             "input:3: Parse error: Nonincreasing"},
                failure_case{"NotRecognised",
                             all_outputs,
                             "Filtre: ON PK Fc 100 Hz\n",
                             {},
                             65,
                             "not recognised as Equalizer APO or REW either"},
                failure_case{"DeviceRateFails",
                             plus(all_outputs, {"-d", "/dev/pcmx.ctl"}),
                             boost,
                             {{"FIRLOAD_SIM_FAIL", "rate"}},
                             70,
                             "firdesign: Cannot get sample rate\n"}),
        [](const auto &p) { return p.param.name; });

// Sources that design, and what they print: byte-order marks, gains that
// mute or invert, --gain, and the request beyond the last bin.
struct accepted_case {
	const char *name;
	std::vector<std::string> args;
	std::string input;
	std::vector<std::string> out; // each found in standard output
	std::string err;              // found in standard error
};

class Accepted : public testing::TestWithParam<accepted_case>
{
};

TEST_P(Accepted, SaysWhatItDid)
{
	const accepted_case &c = GetParam();
	run_result r = design(c.args, c.input);
	EXPECT_EQ(r.status, 0) << r.err;
	for (const std::string &want : c.out)
		EXPECT_NE(r.out.find(want), std::string::npos) << want << " in\n" << r.out;
	EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
}

const char *const inverting = "100 -3\n200 0\n300 0\n";

INSTANTIATE_TEST_SUITE_P(
        Table, Accepted,
        testing::Values(accepted_case{"LayoutBom",
                                      {},
                                      "\xef\xbb\xbf"
                                      "0 2\n",
                                      {"peak gain: 6.02 dB"},
                                      ""},
                        accepted_case{"EqapoBom",
                                      {},
                                      "\xef\xbb\xbfPreamp: -6 dB\r\nFilter 1: OFF PK Fc 100 Hz\r\n",
                                      {"peak gain: -6.00 dB"},
                                      ""},
                        // What an import took and passed over is said, in the
                        // summary or, without one, on standard error.
                        accepted_case{"ImportNotes",
                                      {},
                                      "Preamp: -6 dB\nFilter 1: OFF PK Fc 100 Hz\nDated: today\n",
                                      {"source: Equalizer APO, preamp -6.0 dB",
                                       "line 2: ignored: the filter is OFF",
                                       "line 3: ignored: unknown key 'Dated'"},
                                      ""},
                        accepted_case{"ImportNotesWithoutSummary",
                                      {"-R", "-"},
                                      "Preamp: -6 dB\nFilter 1: OFF PK Fc 100 Hz\n",
                                      {"frequency_hz,requested_db,achieved_db\n"},
                                      "firdesign: standard input:2: ignored: the filter is OFF\n"},
                        accepted_case{
                                "Warnings",
                                {"-n", "256"},
                                inverting,
                                {"warning: line 1: gain -3 at 100 Hz inverts the polarity",
                                 "warning: line 2: gain 0 at 200 Hz mutes the sound there (2 such",
                                 "gains are linear factors"},
                                ""},
                        accepted_case{"WarningsWithoutSummary",
                                      {"-n", "256", "-T", "-"},
                                      inverting,
                                      {},
                                      "firdesign: warning: line 1: gain -3"},
                        accepted_case{"GainAuto",
                                      {"--gain", "auto"},
                                      "20 1\n1000 3\n1010 1\n",
                                      {"peak gain: 0.00 dB"},
                                      ""},
                        accepted_case{"GainKeepsHeader",
                                      {"--gain", "-6", "-L", "-"},
                                      "normalize\n100 2\n",
                                      {"normalize\n100 1.00237446725"},
                                      ""},
                        accepted_case{"RequestBeyondLastBin",
                                      {"-n", "3", "-R", "-"},
                                      "17000 1\n20000 2\n24000 3\n",
                                      {"\n24000,9.54242509"},
                                      ""}),
        [](const auto &p) { return p.param.name; });

// Outputs of every kind and runs that fail late, through a shell: $F is
// firdesign, $E a layout, the scratch folder the working one. A failing run
// leaves every file as it was and no temporary file; a good one passes its
// check.
struct output_case {
	const char *name;
	const char *setup; // before the run; its files are what a failure leaves
	const char *run;
	int status;
	const char *message;
	std::function<bool(const scratch &)> check = nullptr;
};

void PrintTo(const output_case &c, std::ostream *os)
{
	*os << c.name;
}

class Outputs : public testing::TestWithParam<output_case>
{
};

TEST_P(Outputs, WhereTheyGoAndWhatFailuresLeave)
{
	const output_case &c = GetParam();
	// $U runs a command as a user other than root, to whom permissions
	// apply: nobody, when the tests run as root.
	std::string as_user;
	if (geteuid() == 0) {
		if (access("/usr/bin/setpriv", X_OK) != 0 && std::strstr(c.run, "$U") != nullptr)
			GTEST_SKIP() << "running as root without setpriv";
		as_user = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups";
	}
	scratch s;
	env_list env = {{"F", FIRDESIGN_BINARY},
	                {"E", std::string(FIRLOAD_EXAMPLES) + "/loudness.eq"},
	                {"U", as_user}};
	auto shell = [&](const std::string &script) {
		return run_program("/bin/sh", "sh", {"-c", "cd '" + s.dir + "' && " + script}, "",
		                   env);
	};
	std::string setup = "echo keep > old.csv && echo keep > old.txt";
	if (*c.setup != '\0')
		setup += std::string(" && ") + c.setup;
	ASSERT_EQ(shell(setup).status, 0);
	std::set<std::string> before = s.names();
	run_result r = shell(c.run);
	EXPECT_EQ(r.status, c.status) << r.err;
	EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
	if (c.status != 0) {
		EXPECT_EQ(s.names(), before);
		EXPECT_EQ(read_file(s.at("old.csv")), "keep\n");
		EXPECT_EQ(read_file(s.at("old.txt")), "keep\n");
	}
	if (c.check) {
		EXPECT_TRUE(c.check(s));
	}
}

namespace
{

mode_t mode_of(const std::string &path)
{
	struct stat st {
	};
	return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// What a layout written by -L starts with, waiting a little for a reader
// in the background.
bool holds_layout(const std::string &path)
{
	for (int i = 0; i < 50; i++) {
		if (read_file(path).starts_with("40 "))
			return true;
		usleep(100000);
	}
	return false;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(
        SpecialFiles, Outputs,
        testing::Values(
                output_case{"LinkFollowed", "ln -s old.csv link.csv", "$F -q -R link.csv $E", 0, "",
                            [](const scratch &s) {
	                            return S_ISLNK(mode_of(s.at("link.csv"))) &&
	                                   read_file(s.at("old.csv")).starts_with("frequency_hz");
                            }},
                output_case{"DanglingLinkCreatesItsFile", "ln -s made.eq link.eq",
                            "$F -q -L link.eq $E", 0, "",
                            [](const scratch &s) {
	                            return S_ISLNK(mode_of(s.at("link.eq"))) &&
	                                   holds_layout(s.at("made.eq"));
                            }},
                output_case{"PermissionsKept", "chmod 604 old.txt", "$F -q -T old.txt $E", 0, "",
                            [](const scratch &s) {
	                            return (mode_of(s.at("old.txt")) & 0777) == 0604 &&
	                                   read_file(s.at("old.txt")) != "keep\n";
                            }},
                // Minimum phase: the group delay in the plot and the table.
                output_case{"MinimumPhase", "", "$F -q --phase minimum -P new.svg -R old.csv $E", 0,
                            "",
                            [](const scratch &s) {
	                            // The SVG holds its text as character references.
	                            std::string label;
	                            char ref[8];
	                            for (char c : std::string("group delay")) {
		                            std::snprintf(ref, sizeof ref, "&#x%x;", c);
		                            label += ref;
	                            }
	                            return read_file(s.at("new.svg")).find(label) !=
	                                           std::string::npos &&
	                                   read_file(s.at("old.csv"))
	                                           .starts_with("frequency_hz,requested_db,"
	                                                        "achieved_db,group_delay_ms\n");
                            }},
                output_case{
                        "NewFileFollowsUmask", "", "umask 027; $F -q -L new.eq $E", 0, "",
                        [](const scratch &s) { return (mode_of(s.at("new.eq")) & 0777) == 0640; }},
                output_case{"FifoWrittenDirectly", "mkfifo pipe.eq && (cat pipe.eq > got.eq &)",
                            "$F -q -L pipe.eq $E", 0, "",
                            [](const scratch &s) {
	                            return S_ISFIFO(mode_of(s.at("pipe.eq"))) &&
	                                   holds_layout(s.at("got.eq"));
                            }},
                output_case{"StandardOutputByName", "", "$F -q -L /dev/stdout $E > out.eq", 0, "",
                            [](const scratch &s) { return holds_layout(s.at("out.eq")); }},
                // A name a plain create takes, however long its
                // temporary name would be.
                output_case{"LongestName", "",
                            "$F -q -L a23456789b123456789c123456789d123456789e123456789"
                            "f123456789g123456789h123456789i123456789j123456789"
                            "k123456789l123456789m123456789n123456789o123456789"
                            "p123456789q123456789r123456789s123456789t123456789"
                            "u123456789v123456789w123456789x123456789y1234567.eq $E",
                            0, "",
                            [](const scratch &s) {
	                            std::set<std::string> names = s.names();
	                            return names.size() == 3 &&
	                                   std::any_of(names.begin(), names.end(),
	                                               [](const std::string &n) {
		                                               return n.size() == 250;
	                                               });
                            }},
                // A folder that refuses new files: the file is written in
                // place, so its hard link sees the new layout.
                output_case{"InPlaceWhereTheFolderRefuses",
                            "chmod 755 . && mkdir ro && echo keep > ro/out.eq && "
                            "chmod 666 ro/out.eq && ln ro/out.eq link.eq && chmod 555 ro",
                            "$U $F -L ro/out.eq $E", 0,
                            "firdesign: ro/out.eq: its folder is not writable: the file will "
                            "be written in place",
                            [](const scratch &s) { return holds_layout(s.at("link.eq")); }},
                // Held at the FIFO, every file written: the temporary file
                // already has the mode it keeps.
                output_case{"ModeBeforeRename", "chmod 604 old.txt && mkfifo pipe.eq",
                            "{ $F -q -T old.txt -L pipe.eq $E & } ; sleep 0.5; "
                            "ls -l .old.txt.* | cut -c1-10 >&2; kill $!; wait $!",
                            128 + SIGTERM, "-rw----r--"},
                output_case{"PngPlotWhole", "", "$F -q -n 300 -P new.png $E", 0, "",
                            [](const scratch &s) {
	                            std::string png = read_file(s.at("new.png"));
	                            using namespace std::literals;
	                            // 1200 by 900, and the closing chunk.
	                            return png.starts_with("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR"
	                                                   "\0\0\x04\xb0\0\0\x03\x84"sv) &&
	                                   png.ends_with("\0\0\0\0IEND\xae\x42\x60\x82"sv);
                            }},
                output_case{"DirectoryRefused", "mkdir dir.csv", "$F -q -T old.txt -R dir.csv $E",
                            73, "firdesign: cannot create dir.csv: "},
                output_case{"SameFileTwice", "ln -s old.txt other.eq",
                            "$F -q -T old.txt -L other.eq $E", 64,
                            "firdesign: old.txt and other.eq name the same file"},
                output_case{"SameNewFileTwice", "mkdir sub",
                            "$F -q -T new.txt -L sub/../new.txt $E", 64, "name the same file"},
                output_case{"OutputIsTheSource", "cp \"$E\" source.eq",
                            "$F -q -T old.txt -L source.eq source.eq", 64,
                            "firdesign: source.eq would overwrite source.eq, a source"}),
        [](const auto &p) { return p.param.name; });

INSTANTIATE_TEST_SUITE_P(
        AllOrNothing, Outputs,
        testing::Values(
                output_case{"MissingDriver", "mkdir drivers",
                            "PLPLOT_DRV_DIR=$PWD/drivers $F -q -R old.csv -P new.png $E </dev/null",
                            73, "driver is not installed"},
                output_case{"FileSizeLimit", "",
                            "ulimit -f 64; trap '' XFSZ; $F -q -n 65536 -R old.csv -T old.txt $E",
                            74, "firdesign: cannot write old.txt: "},
                output_case{"PlotCutShort", "",
                            "ulimit -f 40; trap '' XFSZ; $F -q -n 64 -L new.eq -P new.svg $E", 74,
                            "firdesign: cannot write new.svg: "},
                output_case{"PngCutShort", "",
                            "ulimit -f 40; trap '' XFSZ; $F -q -n 64 -L new.eq -P new.png $E", 74,
                            "firdesign: cannot write new.png: "},
                output_case{
                        "InPlaceWaitsForTheOthers",
                        "chmod 755 . && mkdir ro && echo keep > ro/out.eq && "
                        "chmod 666 ro/out.eq && chmod 555 ro",
                        "$U $F -q -L ro/out.eq -T ro/new.txt $E", 73,
                        "firdesign: cannot create ro/new.txt: ",
                        [](const scratch &s) { return read_file(s.at("ro/out.eq")) == "keep\n"; }},
                output_case{"DirectoryAfterOthers", "mkdir dir.eq",
                            "$F -q -R old.csv -T old.txt -L dir.eq $E", 73,
                            "firdesign: cannot create dir.eq: "},
                output_case{"StandardOutputFull", "", "$F -R old.csv -T - $E > /dev/full", 74,
                            "firdesign: cannot write standard output: "},
                output_case{"ReportToFullOutput", "",
                            "$F --report -n 8192 -R old.csv $E > /dev/full", 74,
                            "firdesign: cannot write standard output: "},
                output_case{"SummaryToFullOutput", "", "$F -R old.csv -T old.txt $E > /dev/full",
                            74, "firdesign: cannot write standard output: "},
                // Held at the FIFO nobody reads, after every file was
                // written and before any is renamed.
                output_case{"Terminated", "mkfifo pipe.eq",
                            "$F -q -R old.csv -T old.txt -P new.svg -L pipe.eq $E & "
                            "sleep 0.5; kill $!; wait $!",
                            128 + SIGTERM, ""}),
        [](const auto &p) { return p.param.name; });

// Whoever may signal the plot's process forgets it while its ID is still
// held, whether the plot ended or was abandoned: a signal never reaches a
// process that takes the ID later.
class PlotJob : public testing::TestWithParam<bool>
{
};

TEST_P(PlotJob, ForgottenBeforeReaped)
{
	scratch s;
	staged_file file;
	ASSERT_EQ(stage(file, s.at("new.svg")), 0);
	bool held = false;
	{
		plot_job job;
		ASSERT_EQ(plot_start(job, file, plot_device("svg"), {"test", "title", 0}), 0);
		pid_t pid = job.pid;
		job.forget = [&held, pid] {
			siginfo_t info{};
			held = waitid(P_PID, static_cast<id_t>(pid), &info,
			              WEXITED | WNOHANG | WNOWAIT) == 0 &&
			       info.si_pid == pid;
		};
		if (GetParam()) {
			EXPECT_EQ(plot_send(job, 0, frequency_panel(10, 24000, "gain")), 0);
			EXPECT_EQ(plot_end(job, file), 0);
		}
	}
	EXPECT_TRUE(held);
}

INSTANTIATE_TEST_SUITE_P(EndedOrAbandoned, PlotJob, testing::Bool());

// The names of temporary files, which a later run may look for: the stem
// cut to fit the folder's longest name, never inside a character.
TEST(TemporaryNames, WhatCountsAsOne)
{
	std::string long_name(250, 'a'), cut_char = std::string(244, 'a') + "\xc3\xa9.eq";
	const struct {
		std::string candidate, name;
		bool is;
	} cases[] = {
	        {".left.eq.Ab3dE6gH", "left.eq", true},
	        {".left.eq.Ab3dE6g", "left.eq", false},
	        {".left.eq.Ab3dE6g-", "left.eq", false},
	        {"left.eq.Ab3dE6gHi", "left.eq", false},
	        {".right.eq.Ab3dE6gH", "left.eq", false},
	        {"." + std::string(245, 'a') + ".Ab3dE6gH", long_name, true},
	        {"." + std::string(244, 'a') + ".Ab3dE6gH", cut_char, true},
	};
	for (const auto &c : cases)
		EXPECT_EQ(is_temporary_of(c.candidate, c.name), c.is) << c.candidate;
}
