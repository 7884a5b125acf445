#include "options.h"

#include "staged.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

void print_measure_usage(FILE *to, bool full)
{
	std::fputs(
	        "usage: firmeasure [-D /dev/dsp] [-r rate] [-t seconds] [-l dBFS] [--from Hz] "
	        "[--to Hz]\n"
	        "                  [--play channel] [--record channel] [--loopback channel]\n"
	        "                  [--repeat K] [--mic-cal file] [--smooth 1/N|none] "
	        "[--window ms]\n"
	        "                  [-o measurement.txt] [--ir ir.wav] [-P plot.png|svg|pdf]\n"
	        "       firmeasure --sweep sweep.wav [-r rate] [-t seconds] [-l dBFS] [--from Hz] "
	        "[--to Hz]\n"
	        "       firmeasure --recording recorded.wav [sweep, analysis and output options]\n"
	        "       firmeasure --average a.txt b.txt ... [-o average.txt]\n",
	        to);
	if (!full)
		return;
	std::fputs("  -D, --device PATH    the OSS audio device (default /dev/dsp)\n"
	           "  -r, --rate HZ        sample rate (default 48000; a recording's own)\n"
	           "  -t, --time SECONDS   sweep length, about (default 5)\n"
	           "  -l, --level DBFS     sweep level, -60 to -3 (default -12)\n"
	           "      --from HZ        where the sweep starts (default 10)\n"
	           "      --to HZ          where it ends (default 22000, at most 0.45 rate)\n"
	           "      --play C         output channel of the sweep (default 0)\n"
	           "      --record C       input channel of the microphone (default 0)\n"
	           "      --loopback C     input channel cabled to output C, which plays the\n"
	           "                       sweep too: the timing reference\n"
	           "      --repeat K       K sweeps, their responses averaged (default 1)\n"
	           "      --mic-cal FILE   microphone calibration, taken off the response\n"
	           "      --smooth 1/N     fractional-octave smoothing, or none (default)\n"
	           "      --window MS      gate the impulse response after its start\n"
	           "  -o, --output FILE    the measurement, REW text (default standard output)\n"
	           "      --ir FILE        the impulse response, float WAV\n"
	           "  -P, --plot FILE      plot: .png, .svg or .pdf\n"
	           "      --sweep FILE     write the sweep as a float WAV, play nothing\n"
	           "      --recording FILE analyse a recording of that sweep\n"
	           "      --average        power average of the measurement files given\n"
	           "  -h, --help           this text\n",
	           to);
}

namespace
{

enum long_only {
	opt_from = 256,
	opt_to,
	opt_play,
	opt_record,
	opt_loopback,
	opt_repeat,
	opt_mic_cal,
	opt_smooth,
	opt_window,
	opt_ir,
	opt_sweep,
	opt_recording,
	opt_average
};

std::optional<double> decimal(const char *text)
{
	char *end = nullptr;
	errno = 0;
	double v = std::strtod(text, &end);
	if (end == text || *end != '\0' || !std::isfinite(v))
		return std::nullopt;
	return v;
}

std::optional<int> whole(const char *text, long lo, long hi)
{
	char *end = nullptr;
	errno = 0;
	long v = std::strtol(text, &end, 10);
	if (*text == '\0' || *end != '\0' || errno != 0 || v < lo || v > hi)
		return std::nullopt;
	return static_cast<int>(v);
}

parse_result refuse(const char *message, const char *what = "")
{
	std::fprintf(stderr, "firmeasure: %s%s\n", message, what);
	print_measure_usage(stderr, false);
	return parse_result::usage_error;
}

bool plot_extension(std::string_view ext)
{
	return ext == "png" || ext == "svg" || ext == "pdf";
}

} // namespace

parse_result parse_measure_options(int argc, char **argv, measure_settings &s)
{
	static const option longs[] = {
	        {"device", required_argument, nullptr, 'D'},
	        {"rate", required_argument, nullptr, 'r'},
	        {"time", required_argument, nullptr, 't'},
	        {"level", required_argument, nullptr, 'l'},
	        {"from", required_argument, nullptr, opt_from},
	        {"to", required_argument, nullptr, opt_to},
	        {"play", required_argument, nullptr, opt_play},
	        {"record", required_argument, nullptr, opt_record},
	        {"loopback", required_argument, nullptr, opt_loopback},
	        {"repeat", required_argument, nullptr, opt_repeat},
	        {"mic-cal", required_argument, nullptr, opt_mic_cal},
	        {"smooth", required_argument, nullptr, opt_smooth},
	        {"window", required_argument, nullptr, opt_window},
	        {"output", required_argument, nullptr, 'o'},
	        {"ir", required_argument, nullptr, opt_ir},
	        {"plot", required_argument, nullptr, 'P'},
	        {"sweep", required_argument, nullptr, opt_sweep},
	        {"recording", required_argument, nullptr, opt_recording},
	        {"average", no_argument, nullptr, opt_average},
	        {"help", no_argument, nullptr, 'h'},
	        {nullptr, 0, nullptr, 0},
	};
	// Which options were given, to check them against the mode.
	bool live_only = false, analysis = false, sweep_opts = false, average = false;
	const char *live_name = nullptr, *analysis_name = nullptr, *sweep_name = nullptr;
	auto mark = [](bool &flag, const char *&name, const char *option) {
		flag = true;
		if (name == nullptr)
			name = option;
	};
	opterr = 0;
	optind = 1;
	int c;
	while ((c = getopt_long(argc, argv, ":D:r:t:l:o:P:h", longs, nullptr)) != -1) {
		std::optional<double> d;
		std::optional<int> w;
		switch (c) {
		case 'D':
			s.device = optarg;
			mark(live_only, live_name, "-D");
			break;
		case 'r':
			if (!(w = whole(optarg, 8000, 768000)))
				return refuse("-r needs a rate of 8000 to 768000 Hz: ", optarg);
			s.sweep.rate = *w;
			s.rate_given = true;
			mark(sweep_opts, sweep_name, "-r");
			break;
		case 't':
			if (!(d = decimal(optarg)) || !(*d >= 0.5 && *d <= 60))
				return refuse("-t needs 0.5 to 60 seconds: ", optarg);
			s.sweep.seconds = *d;
			mark(sweep_opts, sweep_name, "-t");
			break;
		case 'l':
			if (!(d = decimal(optarg)) || !(*d >= -60 && *d <= largest_level_db))
				return refuse("-l needs a level of -60 to -3 dBFS: ", optarg);
			s.sweep.level_db = *d;
			mark(sweep_opts, sweep_name, "-l");
			break;
		case opt_from:
			if (!(d = decimal(optarg)) || !(*d >= 1))
				return refuse("--from needs a frequency of 1 Hz or more: ", optarg);
			s.sweep.from = *d;
			mark(sweep_opts, sweep_name, "--from");
			break;
		case opt_to:
			if (!(d = decimal(optarg)) || !(*d > 0))
				return refuse("--to needs a frequency in Hz: ", optarg);
			s.sweep.to = *d;
			s.sweep.to_given = true;
			mark(sweep_opts, sweep_name, "--to");
			break;
		case opt_play:
		case opt_record:
		case opt_loopback:
			if (!(w = whole(optarg, 0, 63)))
				return refuse("a channel is a number from 0 to 63: ", optarg);
			(c == opt_play ? s.play : c == opt_record ? s.record : s.loopback) = *w;
			if (c == opt_play)
				mark(live_only, live_name, "--play");
			else
				mark(analysis, analysis_name,
				     c == opt_record ? "--record" : "--loopback");
			break;
		case opt_repeat:
			if (!(w = whole(optarg, 1, largest_repeat)))
				return refuse("--repeat needs a count of 1 to 64: ", optarg);
			s.repeat = *w;
			mark(live_only, live_name, "--repeat");
			break;
		case opt_mic_cal:
			s.mic_cal = optarg;
			mark(analysis, analysis_name, "--mic-cal");
			break;
		case opt_smooth:
			if (std::strcmp(optarg, "none") == 0) {
				s.smooth = 0;
			} else if (std::strncmp(optarg, "1/", 2) != 0 ||
			           !(d = decimal(optarg + 2)) || !(*d >= 1 && *d <= 96)) {
				return refuse("--smooth needs 1/N with N from 1 to 96, or none: ",
				              optarg);
			} else {
				s.smooth = *d;
			}
			mark(analysis, analysis_name, "--smooth");
			break;
		case opt_window:
			if (!(d = decimal(optarg)) || !(*d >= 1 && *d <= 1000 * tail_seconds))
				return refuse("--window needs 1 to 1000 ms: ", optarg);
			s.window_ms = *d;
			mark(analysis, analysis_name, "--window");
			break;
		case 'o': s.output = optarg; break;
		case opt_ir:
			s.ir = optarg;
			mark(analysis, analysis_name, "--ir");
			break;
		case 'P':
			if (!plot_extension(extension(optarg)))
				return refuse("plot file must end in .png, .svg or .pdf: ", optarg);
			s.plot = optarg;
			mark(analysis, analysis_name, "-P");
			break;
		case opt_sweep:
		case opt_recording:
			if (s.sweep_path != nullptr || s.recording_path != nullptr || average)
				return refuse(
				        "--sweep, --recording and --average exclude each other");
			(c == opt_sweep ? s.sweep_path : s.recording_path) = optarg;
			break;
		case opt_average:
			if (s.sweep_path != nullptr || s.recording_path != nullptr)
				return refuse(
				        "--sweep, --recording and --average exclude each other");
			average = true;
			break;
		case 'h': return parse_result::help;
		case ':': return refuse("option needs an argument: ", argv[optind - 1]);
		default: return refuse("unknown option: ", argv[optind - 1]);
		}
	}
	for (int i = optind; i < argc; i++)
		s.inputs.push_back(argv[i]);

	if (average) {
		s.mode = measure_mode::average;
		if (live_only || analysis || sweep_opts)
			return refuse("--average takes only -o and the files: ",
			              live_name       ? live_name
			              : analysis_name ? analysis_name
			                              : sweep_name);
		if (s.inputs.size() < 2)
			return refuse("--average needs two measurement files at least");
		return parse_result::run;
	}
	if (!s.inputs.empty())
		return refuse("operands go with --average only: ", s.inputs.front());
	if (s.sweep_path != nullptr) {
		s.mode = measure_mode::sweep_file;
		if (live_only || analysis || s.output != nullptr)
			return refuse("--sweep takes only the sweep's options: ",
			              live_name       ? live_name
			              : analysis_name ? analysis_name
			                              : "-o");
	} else if (s.recording_path != nullptr) {
		s.mode = measure_mode::recording;
		if (live_only)
			return refuse("--recording is not played: drop ", live_name);
	}
	if (s.loopback >= 0 && s.loopback == s.record)
		return refuse("the loopback channel must differ from the recorded one");
	for (const char *out : {s.ir, s.plot})
		if (out != nullptr && std::strcmp(out, "-") == 0)
			return refuse("only the measurement may go to standard output");
	return parse_result::run;
}
