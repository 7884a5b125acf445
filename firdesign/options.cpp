#include "options.h"

#include "outputs.h"
#include "plot.h"
#include "text.h"

#include <getopt.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <cstring>
#include <optional>

void print_design_usage(FILE *to, bool full)
{
	std::fputs(
	        "usage: firdesign [-r rate] [-n length] [-d device [-w what] [-p part]]\n"
	        "                 [-P plot] [-R response] [-T taps] [-L layout] [--report] [-q]\n"
	        "                 [-i layout|eqapo|rew|db] [--smooth N] [--target file]\n"
	        "                 [--range lo:hi] [--max-boost dB] [--max-cut dB]\n"
	        "                 [--gain dB|auto] [--phase linear|minimum] [file]\n",
	        to);
	if (!full)
		return;
	std::fputs("  -r, --rate HZ        sample rate (default 48000)\n"
	           "  -n, --length N       filter length in taps (default 4096)\n"
	           "  -d, --device PATH    take rate and length from this control device\n"
	           "  -w, --what TARGET    rx_dev, tx_dev, rx_loop or tx_loop (default tx_dev)\n"
	           "  -p, --part N         part number (default 0)\n"
	           "  -P, --plot FILE      plot: .svg, .png or .pdf\n"
	           "  -R, --response FILE  response table: .csv, or - for standard output\n"
	           "  -T, --taps FILE      taps: .txt, .f64, .f32 or .wav\n"
	           "  -L, --layout FILE    the layout designed from\n"
	           "      --report         firload's report and listing instead of the summary\n"
	           "  -i, --input FORMAT   layout, eqapo (Equalizer APO, AutoEq), rew (REW\n"
	           "                       measurement) or db (Hz and dB pairs); default:\n"
	           "                       recognised from the content (db never is)\n"
	           "      --smooth N       rew: 1/N-octave smoothing (default 6; 0: none)\n"
	           "      --target FILE    rew: target curve, Hz and dB (default flat)\n"
	           "      --range LO:HI    rew: where to correct, Hz (default 20:20000)\n"
	           "      --max-boost DB   rew: largest boost (default 3)\n"
	           "      --max-cut DB     rew: largest cut (default 12)\n"
	           "      --gain DB        shift the whole curve by DB before the design (for a\n"
	           "                       layout: every gain times 10^(DB/20)); auto: so that\n"
	           "                       the true peak gain is 0 dB\n"
	           "      --phase PHASE    linear (default: a delay of half the length) or\n"
	           "                       minimum (the impulse at the start)\n"
	           "  -q, --quiet          no summary\n"
	           "  -h, --help           this text\n",
	           to);
}

namespace
{

enum long_only {
	opt_report = 256,
	opt_smooth,
	opt_target,
	opt_range,
	opt_max_boost,
	opt_max_cut,
	opt_gain,
	opt_phase
};

// A finite decimal number, nothing after it.
std::optional<double> decimal(const char *text)
{
	char *end = nullptr;
	double v = std::strtod(text, &end);
	if (end == text || *end != '\0' || !std::isfinite(v))
		return std::nullopt;
	return v;
}

// A whole decimal number in the signed 32-bit range, nothing after it.
std::optional<int32_t> whole_number(const char *text)
{
	long long v = 0;
	if (!::whole_number(text, INT32_MIN, INT32_MAX, v))
		return std::nullopt;
	return static_cast<int32_t>(v);
}

// "firdesign: " message what, a newline, then the usage.
parse_result refuse(const char *message, const char *what = "")
{
	std::fprintf(stderr, "firdesign: %s%s\n", message, what);
	print_design_usage(stderr, false);
	return parse_result::usage_error;
}

parse_result check_outputs(const design_settings &s)
{
	if (s.plot != nullptr && plot_device(extension(s.plot)) == nullptr &&
	    std::strcmp(s.plot, "-") != 0)
		return refuse("plot file must end in .svg, .png or .pdf: ", s.plot);
	if (s.response != nullptr && extension(s.response) != "csv" &&
	    std::strcmp(s.response, "-") != 0)
		return refuse("response file must end in .csv: ", s.response);
	if (s.taps != nullptr && !tap_format_known(extension(s.taps)) &&
	    std::strcmp(s.taps, "-") != 0)
		return refuse("taps file must end in .txt, .f64, .f32 or .wav: ", s.taps);
	int dashes = 0;
	for (const char *out : {s.plot, s.response, s.taps, s.layout})
		dashes += out != nullptr && std::strcmp(out, "-") == 0;
	if (dashes > 1)
		return refuse("at most one output may be standard output");
	if (dashes == 1 && s.report)
		return refuse("--report and an output on standard output do not go together");
	if (s.device != nullptr && (s.rate_given || s.length_given))
		return refuse("-d takes the rate and length from the device; drop -r and -n");
	if (s.device == nullptr && (s.target_given || s.part_given))
		return refuse("-w and -p go with -d");
	if (s.correction_given && s.format_given && s.format != input_format::rew)
		return refuse(correction_needs_rew);
	if (s.report && s.phase != eq_phase::linear)
		return refuse("--report is firload's linear-phase report; it does not go with "
		              "--phase minimum");
	return parse_result::run;
}

} // namespace

parse_result parse_design_options(int argc, char **argv, design_settings &s)
{
	static const option long_options[] = {
	        {"rate", required_argument, nullptr, 'r'},
	        {"length", required_argument, nullptr, 'n'},
	        {"device", required_argument, nullptr, 'd'},
	        {"what", required_argument, nullptr, 'w'},
	        {"part", required_argument, nullptr, 'p'},
	        {"plot", required_argument, nullptr, 'P'},
	        {"response", required_argument, nullptr, 'R'},
	        {"taps", required_argument, nullptr, 'T'},
	        {"layout", required_argument, nullptr, 'L'},
	        {"report", no_argument, nullptr, opt_report},
	        {"input", required_argument, nullptr, 'i'},
	        {"smooth", required_argument, nullptr, opt_smooth},
	        {"target", required_argument, nullptr, opt_target},
	        {"range", required_argument, nullptr, opt_range},
	        {"max-boost", required_argument, nullptr, opt_max_boost},
	        {"max-cut", required_argument, nullptr, opt_max_cut},
	        {"gain", required_argument, nullptr, opt_gain},
	        {"phase", required_argument, nullptr, opt_phase},
	        {"quiet", no_argument, nullptr, 'q'},
	        {"help", no_argument, nullptr, 'h'},
	        {nullptr, 0, nullptr, 0},
	};
	int c;
	while ((c = getopt_long(argc, argv, "r:n:d:w:p:P:R:T:L:i:qh", long_options, nullptr)) !=
	       -1) {
		switch (c) {
		case 'r': {
			auto rate = whole_number(optarg);
			if (!rate || *rate <= 0)
				return refuse("rate must be a whole number of Hz above 0: ",
				              optarg);
			s.rate = *rate;
			s.rate_given = true;
			break;
		}
		case 'n': {
			auto length = whole_number(optarg);
			if (!length || *length < 1)
				return refuse("length must be a whole number of taps, 1 or more: ",
				              optarg);
			s.length = *length;
			s.length_given = true;
			break;
		}
		case 'd': s.device = optarg; break;
		case 'w':
			s.target = find_target(optarg);
			s.target_given = true;
			if (s.target == nullptr)
				return refuse(
				        "unknown -w target (rx_dev, tx_dev, rx_loop, tx_loop): ",
				        optarg);
			break;
		case 'p': {
			auto part = whole_number(optarg);
			if (!part || *part < 0)
				return refuse("part must be a whole number, 0 or more: ", optarg);
			s.part = *part;
			s.part_given = true;
			break;
		}
		case 'P': s.plot = optarg; break;
		case 'R': s.response = optarg; break;
		case 'T': s.taps = optarg; break;
		case 'L': s.layout = optarg; break;
		case opt_report: s.report = true; break;
		case 'i':
			if (!format_named(optarg, s.format))
				return refuse("input format must be layout, eqapo, rew or db: ",
				              optarg);
			s.format_given = true;
			break;
		case opt_smooth: {
			auto v = decimal(optarg);
			if (!v || *v < 0)
				return refuse("--smooth takes a number, 0 or more: ", optarg);
			s.correction.smooth = *v;
			s.correction_given = true;
			break;
		}
		case opt_target:
			s.target_file = optarg;
			s.correction_given = true;
			break;
		case opt_range:
			if (!parse_range(optarg, s.correction.low, s.correction.high))
				return refuse("--range takes LO:HI in Hz, 0 < LO < HI: ", optarg);
			s.correction_given = true;
			break;
		case opt_max_boost:
		case opt_max_cut: {
			auto v = decimal(optarg);
			if (!v || *v < 0)
				return refuse(c == opt_max_boost
				                      ? "--max-boost takes dB, 0 or more: "
				                      : "--max-cut takes dB, 0 or more: ",
				              optarg);
			(c == opt_max_boost ? s.correction.max_boost : s.correction.max_cut) = *v;
			s.correction_given = true;
			break;
		}
		case opt_gain: {
			auto v = decimal(optarg);
			s.gain_auto = std::strcmp(optarg, "auto") == 0;
			if (!s.gain_auto && (!v || !(std::fabs(*v) <= largest_gain_shift)))
				return refuse("--gain takes dB from -120 to 120, or auto: ",
				              optarg);
			s.gain_db = s.gain_auto ? 0.0 : *v;
			s.gain_given = true;
			break;
		}
		case opt_phase:
			if (std::strcmp(optarg, "linear") == 0)
				s.phase = eq_phase::linear;
			else if (std::strcmp(optarg, "minimum") == 0)
				s.phase = eq_phase::minimum;
			else
				return refuse("--phase takes linear or minimum: ", optarg);
			break;
		case 'q': s.quiet = true; break;
		case 'h': return parse_result::help;
		default: print_design_usage(stderr, false); return parse_result::usage_error;
		}
	}
	if (argc - optind > 1)
		return refuse("one layout file at most");
	if (optind < argc)
		s.input = argv[optind];
	return check_outputs(s);
}
