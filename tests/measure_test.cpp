// firmeasure against recordings made by another chain (sox's biquads and
// numpy, tests/measure/recording.py), live under the audio stand-in, and
// its averages and refusals.
#include "harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace
{

struct scratch {
	std::string dir;
	scratch()
	{
		char name[] = "/tmp/firmeasure-test-XXXXXX";
		const char *made = mkdtemp(name);
		dir = made != nullptr ? made : "";
		EXPECT_NE(made, nullptr);
	}
	~scratch() { std::system(("rm -rf '" + dir + "'").c_str()); }
	std::string at(const std::string &name) const { return dir + "/" + name; }
};

run_result measure(const std::vector<std::string> &args, const env_list &env = {})
{
	return run_program(FIRMEASURE_BINARY, "firmeasure", args, "", env, 120);
}

run_result python(const std::vector<std::string> &args)
{
	std::vector<std::string> all{std::string(FIRLOAD_SOURCE) + "/tests/measure/recording.py"};
	all.insert(all.end(), args.begin(), args.end());
	return run_program("/usr/bin/python3", "python3", all, "", {}, 120);
}

// The number after "key" in text, or NAN.
double after(const std::string &text, const std::string &key)
{
	size_t at = text.find(key);
	return at == std::string::npos ? std::nan("")
	                               : std::strtod(text.c_str() + at + key.size(), nullptr);
}

const char *const chain = "highpass 60 0.707q equalizer 1000 2q 6 treble -4 8000";

TEST(Measure, RecordingsOfAnotherChain)
{
	struct row {
		const char *name;
		std::vector<std::string> sweep; // --sweep's options
		std::vector<std::string> make;  // recording.py make's options
		std::vector<std::string> args;  // firmeasure's options
		int status;
		double tolerance;             // dB, 40 Hz to 16 kHz; 0: not checked
		std::string smooth;           // recording.py check --smooth
		long delay;                   // samples; -1: not checked
		double h2;                    // %; 0: not checked
		const char *message;          // in standard error, for a refusal
		std::string check_chain = ""; // the chain compared with, when not make's
		const char *from = "40";      // Hz: where the comparison starts
	};
	const std::string c = chain;
	// clang-format off
	const row rows[] = {
	        {"60 dB", {}, {"--chain", c, "--delay", "100", "--snr", "60"},
	         {}, 0, 0.1, "", 100, 0, ""},
	        {"20 dB, 1/6 octave", {}, {"--chain", c, "--delay", "100", "--snr", "20"},
	         {"--smooth", "1/6"}, 0, 0.5, "6", 100, 0, ""},
	        {"5 % second harmonic", {}, {"--chain", c, "--h2", "5", "--snr", "60"},
	         {}, 0, 0.1, "", -1, 0, ""},
	        {"distortion measured", {}, {"--h2", "5", "--snr", "60"},
	         {}, 0, 0.1, "", -1, 5, ""},
	        {"loopback, 24 bits", {},
	         {"--chain", c, "--delay", "37", "--loopback", "211", "--bits", "24"},
	         {"--loopback", "1"}, 0, 0.1, "", 37, 0, ""},
	        {"16 bits, 44.1 kHz", {"-r", "44100"},
	         {"--chain", c, "--rate", "44100", "--bits", "16"},
	         {}, 0, 0.1, "", 0, 0, ""},
	        {"a reflection gated away", {},
	         {"--chain", "treble -4 8000 echo 1 1 6 0.5", "--snr", "60"},
	         {"--window", "5"}, 0, 0.1, "", -1, 0, "", "treble -4 8000", "1000"},
	        {"a reverberant room, gated", {},
	         {"--chain", "vol 0.3 reverb 100 50 100 100", "--snr", "40"},
	         {"--window", "3"}, 0, 0, "", 0, 0, ""},
	        {"clipped", {}, {"--chain", c, "--clip"}, {}, 65, 0, "", -1, 0, "clips"},
	        {"silence", {}, {"--silence"}, {}, 65, 0, "", -1, 0, "holds no sweep: silence"},
	        {"noise", {}, {"--noise"}, {}, 65, 0, "", -1, 0, "holds no sweep"},
	        {"another sweep", {"-t", "8"}, {"--snr", "40"}, {}, 65, 0, "", -1, 0,
	         "holds no sweep of these settings"},
	        {"a sweep a second longer", {"-t", "6"}, {"--snr", "40"}, {}, 65, 0, "", -1, 0,
	         "holds no sweep of these settings"},
	        {"wrong rate", {"-r", "44100"}, {"--rate", "44100"}, {"-r", "48000"}, 65, 0, "",
	         -1, 0, "recorded at 44100 Hz, not at 48000 Hz"},
	        {"no such channel", {}, {}, {"--record", "1"}, 65, 0, "", -1, 0,
	         "has 1 channel: there is no channel 1"},
	};
	// clang-format on
	scratch s;
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		std::vector<std::string> make_sweep{"--sweep", s.at("sweep.wav")};
		make_sweep.insert(make_sweep.end(), r.sweep.begin(), r.sweep.end());
		ASSERT_EQ(measure(make_sweep).status, 0);
		std::vector<std::string> make{"make", s.at("sweep.wav"), s.at("rec.wav")};
		make.insert(make.end(), r.make.begin(), r.make.end());
		run_result made = python(make);
		ASSERT_EQ(made.status, 0) << made.err;

		std::vector<std::string> args{"--recording", s.at("rec.wav"), "-o", s.at("m.txt")};
		args.insert(args.end(), r.args.begin(), r.args.end());
		std::remove(s.at("m.txt").c_str());
		run_result got = measure(args);
		ASSERT_EQ(got.status, r.status) << got.err;
		if (r.status != 0) {
			EXPECT_NE(got.err.find(r.message), std::string::npos) << got.err;
			EXPECT_EQ(read_file(s.at("m.txt")), "") << "nothing is written";
			continue;
		}
		std::string text = read_file(s.at("m.txt"));
		if (r.tolerance > 0) {
			std::string compared = !r.check_chain.empty() ? r.check_chain
			                       : r.make.size() > 1 && r.make[0] == "--chain"
			                               ? r.make[1]
			                               : "";
			std::vector<std::string> check{"check",  s.at("m.txt"), "--chain",
			                               compared, "--from",      r.from};
			for (const std::string &a : r.make)
				if (a == "44100")
					check.insert(check.end(), {"--rate", "44100"});
			if (!r.smooth.empty())
				check.insert(check.end(), {"--smooth", r.smooth});
			run_result worst = python(check);
			ASSERT_EQ(worst.status, 0) << worst.err;
			EXPECT_LE(std::strtod(worst.out.c_str(), nullptr), r.tolerance)
			        << worst.out;
		}
		if (r.delay >= 0) {
			EXPECT_NEAR(after(text, "* Delay: "), static_cast<double>(r.delay), 1.0);
		}
		if (r.h2 > 0) {
			EXPECT_NEAR(after(got.out, "H2 "), r.h2, 0.1 * r.h2) << got.out;
		}
	}
}

// Usage errors, the calibration's refusal, and averages of measurement
// files: power averages on the first file's points within the common range.
TEST(Measure, CommandLineAndAverages)
{
	struct row {
		std::vector<std::string> args; // FILE names a scratch file below
		int status;
		const char *message; // in standard error
		const char *output;  // in standard output
	};
	const row rows[] = {
	        {{"--bogus"}, 64, "unknown option: --bogus", ""},
	        {{"-l", "-2"}, 64, "-l needs a level of -60 to -3 dBFS", ""},
	        {{"--smooth", "1/0"}, 64, "--smooth needs 1/N", ""},
	        {{"-P", "FILE/p.gif"}, 64, "plot file must end in .png, .svg or .pdf", ""},
	        {{"--sweep", "FILE/s.wav", "--play", "1"}, 64, "--sweep takes only", ""},
	        {{"--recording", "FILE/r.wav", "--repeat", "2"},
	         64,
	         "--recording is not played",
	         ""},
	        {{"--loopback", "0"}, 64, "must differ", ""},
	        {{"--average", "FILE/a.txt"}, 64, "two measurement files", ""},
	        {{"--recording", "FILE/none.wav", "--mic-cal", "FILE/bad.txt"},
	         65,
	         "FILE/bad.txt:3: a row holds something that is not a number",
	         ""},
	        {{"--average", "FILE/a.txt", "FILE/b.txt"}, 0, "", "200.000000\t3.979\n"},
	        {{"--average", "FILE/b.txt", "FILE/a.txt"}, 0, "", "150.000000\t3.979\n"},
	        {{"--average", "FILE/a.txt", "FILE/bad.txt"}, 65, "FILE/bad.txt:3:", ""},
	        {{"--average", "FILE/a.txt", "FILE/far.txt"}, 65, "share no range", ""},
	};
	scratch s;
	auto put = [&](const char *name, const char *text) {
		std::FILE *f = std::fopen(s.at(name).c_str(), "w");
		ASSERT_NE(f, nullptr);
		std::fputs(text, f);
		std::fclose(f);
	};
	put("a.txt", "* a\n100 0 0\n200 0 0\n400 0 0\n800 0 0\n");
	put("b.txt", "150\t6.0206\n200\t6.0206\n800\t6.0206\n");
	put("bad.txt", "Sens Factor -1dB\n100 1\n200 one\n");
	put("far.txt", "2000 0\n4000 0\n");
	auto fill = [&](std::string text) {
		for (size_t at; (at = text.find("FILE")) != std::string::npos;)
			text.replace(at, 4, s.dir);
		return text;
	};
	for (const row &r : rows) {
		std::vector<std::string> args;
		for (const std::string &a : r.args)
			args.push_back(fill(a));
		SCOPED_TRACE(args.front());
		run_result got = measure(args);
		EXPECT_EQ(got.status, r.status) << got.err;
		EXPECT_NE(got.err.find(fill(r.message)), std::string::npos) << got.err;
		EXPECT_NE(got.out.find(r.output), std::string::npos) << got.out;
		if (r.status != 0) {
			EXPECT_EQ(got.out, "");
		}
	}
}

// run_program preloads the stand-in; these are its settings.
env_list sim(env_list more = {})
{
	return more;
}

// The mean dB of a measurement's rows from 100 Hz to 10 kHz.
double mean_db(const std::string &text)
{
	double sum = 0;
	int n = 0;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);) {
		double f = 0, db = 0;
		if (line.empty() || line[0] == '*' ||
		    std::sscanf(line.c_str(), "%lf %lf", &f, &db) != 2)
			continue;
		if (f >= 100 && f <= 10000) {
			sum += db;
			n++;
		}
	}
	return n ? sum / n : std::nan("");
}

TEST(Measure, LiveUnderTheStandIn)
{
	struct row {
		const char *name;
		env_list env;
		std::vector<std::string> args;
		int status;
		const char *message; // standard error holds it
		long delay;          // samples; -1: not checked
	};
	const row rows[] = {
	        {"default room", {}, {}, 0, "", 240},
	        {"loopback", {{"FIRLOAD_SIM_LOOPBACK", "1"}}, {"--loopback", "1"}, 0, "", 144},
	        {"four channels",
	         {{"FIRLOAD_SIM_DSP_CHANNELS", "4"}, {"FIRLOAD_SIM_LOOPBACK", "0"}},
	         {"--play", "2", "--record", "3", "--loopback", "0"},
	         0,
	         "",
	         144},
	        {"float samples",
	         {{"FIRLOAD_SIM_DSP_FORMATS", "f32"}},
	         {"--repeat", "2"},
	         0,
	         "",
	         240},
	        {"sweep into the cable",
	         {{"FIRLOAD_SIM_LOOPBACK", "0"}},
	         {"--record", "1"},
	         65,
	         "holds no sweep",
	         -1},
	        {"rate refused",
	         {{"FIRLOAD_SIM_DSP_RATE", "44100"}},
	         {},
	         69,
	         "runs at 44100 Hz, not at 48000 Hz",
	         -1},
	        {"format refused",
	         {{"FIRLOAD_SIM_DSP_FORMATS", "s16"}},
	         {},
	         69,
	         "takes no 32-bit samples",
	         -1},
	        {"channel missing",
	         {{"FIRLOAD_SIM_DSP_CHANNELS", "1"}},
	         {"--record", "1"},
	         69,
	         "has 1 channel",
	         -1},
	        {"clipped", {{"FIRLOAD_SIM_GAIN", "20"}}, {}, 65, "clips", -1},
	        {"no device",
	         {},
	         {"-D", "/nonexistent/dsp"},
	         69,
	         "cannot open /nonexistent/dsp",
	         -1},
	};
	scratch s;
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		std::vector<std::string> args{"-t", "1", "-o", s.at("m.txt")};
		args.insert(args.end(), r.args.begin(), r.args.end());
		std::remove(s.at("m.txt").c_str());
		run_result got = measure(args, sim(r.env));
		ASSERT_EQ(got.status, r.status) << got.err;
		EXPECT_NE(got.err.find(r.message), std::string::npos) << got.err;
		if (r.status != 0) {
			EXPECT_EQ(read_file(s.at("m.txt")), "");
		}
		if (r.delay >= 0) {
			EXPECT_EQ(after(read_file(s.at("m.txt")), "* Delay: "), r.delay);
		}
	}
}

// Four sweeps average the noise down by 6 dB, and a filter loaded by
// firload in an earlier process is heard in the room.
TEST(Measure, RepeatsAndTheLoadedFilter)
{
	scratch s;
	env_list noisy = sim({{"FIRLOAD_SIM_NOISE", "-50"}});
	ASSERT_EQ(measure({"-t", "1", "-o", s.at("one.txt")}, noisy).status, 0);
	ASSERT_EQ(measure({"-t", "1", "--repeat", "4", "-o", s.at("four.txt")}, noisy).status, 0);
	double one = after(read_file(s.at("one.txt")), "Signal-to-noise ratio: ");
	double four = after(read_file(s.at("four.txt")), "Signal-to-noise ratio: ");
	EXPECT_NEAR(four - one, 6.0, 1.5);

	env_list kept = sim({{"FIRLOAD_SIM_STATE", s.dir}, {"FIRLOAD_SIM_LENGTH", "512"}});
	ASSERT_EQ(measure({"-t", "1", "-o", s.at("before.txt"), "-P", s.at("before.svg")}, kept)
	                  .status,
	          0);
	EXPECT_NE(read_file(s.at("before.svg")).find("<svg"), std::string::npos);
	run_result load = run_program(FIRLOAD_BINARY, "firload", {"-q", "-d", "/dev/pcmx.ctl"},
	                              "1000 0.5\n", kept);
	ASSERT_EQ(load.status, 0) << load.err;
	ASSERT_EQ(
	        measure({"-t", "1", "-o", s.at("after.txt"), "--ir", s.at("ir.wav")}, kept).status,
	        0);
	EXPECT_EQ(read_file(s.at("ir.wav")).substr(0, 4), "RIFF");
	EXPECT_NEAR(mean_db(read_file(s.at("after.txt"))) - mean_db(read_file(s.at("before.txt"))),
	            -6.02, 0.1);
}

} // namespace
