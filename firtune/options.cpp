#include "options.h"

#include "text.h"

#include <getopt.h>

void print_tune_usage(FILE *to, bool full)
{
	std::fputs("usage: firtune [-d device [-w what] [-p part] [-c channels]] [-r rate]\n"
	           "               [-n length] [--max-gain DB] [--port N]\n"
	           "               [-D audio [--record C] [--loopback C]] [profile]\n"
	           "       firtune [--max-gain DB] --apply profile\n",
	           to);
	if (!full)
		return;
	std::fputs("  -d, --device PATH    the control device to load through\n"
	           "  -w, --what TARGET    rx_dev, tx_dev, rx_loop or tx_loop (default tx_dev)\n"
	           "  -p, --part N         part number (default 0)\n"
	           "  -c, --channels N     channels of the part (default: counted)\n"
	           "  -r, --rate HZ        sample rate without a device (default 48000)\n"
	           "  -n, --length N       filter length without a device (default 4096)\n"
	           "      --max-gain DB    refuse to write a design whose peak gain is above DB\n"
	           "                       (default: the profile's max-gain, else +12)\n"
	           "      --port N         port on 127.0.0.1 (default 0: any free port)\n"
	           "  -D, --audio PATH     the audio device that measures (default: the\n"
	           "                       profile's audio line, else none)\n"
	           "      --record C       the microphone's input channel (default 0)\n"
	           "      --loopback C     the input cabled to its own output, the timing\n"
	           "                       reference (default none)\n"
	           "      --apply PROFILE  load every channel of the profile, then end\n"
	           "  -h, --help           this text\n",
	           to);
}

namespace
{

enum long_only { opt_port = 256, opt_apply, opt_max_gain, opt_record, opt_loopback };

tune_parse refuse(const char *message, const char *what = "")
{
	std::fprintf(stderr, "firtune: %s%s\n", message, what);
	print_tune_usage(stderr, false);
	return tune_parse::usage_error;
}

} // namespace

tune_parse parse_tune_options(int argc, char **argv, tune_settings &s)
{
	static const option long_options[] = {
	        {"device", required_argument, nullptr, 'd'},
	        {"what", required_argument, nullptr, 'w'},
	        {"part", required_argument, nullptr, 'p'},
	        {"channels", required_argument, nullptr, 'c'},
	        {"rate", required_argument, nullptr, 'r'},
	        {"length", required_argument, nullptr, 'n'},
	        {"port", required_argument, nullptr, opt_port},
	        {"apply", required_argument, nullptr, opt_apply},
	        {"max-gain", required_argument, nullptr, opt_max_gain},
	        {"audio", required_argument, nullptr, 'D'},
	        {"record", required_argument, nullptr, opt_record},
	        {"loopback", required_argument, nullptr, opt_loopback},
	        {"help", no_argument, nullptr, 'h'},
	        {nullptr, 0, nullptr, 0},
	};
	bool what_given = false, part_given = false, channels_given = false;
	bool rate_given = false, length_given = false, port_given = false;
	long long v = 0;
	int c;
	while ((c = getopt_long(argc, argv, "d:w:p:c:r:n:D:h", long_options, nullptr)) != -1) {
		switch (c) {
		case 'd': s.device = optarg; break;
		case 'w':
			s.target = find_target(optarg);
			what_given = true;
			if (s.target == nullptr)
				return refuse(
				        "unknown -w target (rx_dev, tx_dev, rx_loop, tx_loop): ",
				        optarg);
			break;
		case 'p':
			if (!whole_number(optarg, 0, INT32_MAX, v))
				return refuse("part must be a whole number, 0 or more: ", optarg);
			s.part = static_cast<int32_t>(v);
			part_given = true;
			break;
		case 'c':
			if (!whole_number(optarg, 1, 1024, v))
				return refuse("channels must be a whole number from 1 to 1024: ",
				              optarg);
			s.channels = static_cast<int32_t>(v);
			channels_given = true;
			break;
		case 'r':
			if (!whole_number(optarg, 1, INT32_MAX, v))
				return refuse("rate must be a whole number of Hz above 0: ",
				              optarg);
			s.rate = static_cast<int32_t>(v);
			rate_given = true;
			break;
		case 'n':
			if (!whole_number(optarg, 1, INT32_MAX, v))
				return refuse("length must be a whole number of taps, 1 or more: ",
				              optarg);
			s.length = static_cast<int32_t>(v);
			length_given = true;
			break;
		case opt_port:
			if (!whole_number(optarg, 0, 65535, v))
				return refuse("port must be a whole number from 0 to 65535: ",
				              optarg);
			s.port = static_cast<int>(v);
			port_given = true;
			break;
		case opt_max_gain:
			if (!decimal_number(optarg, s.max_gain_db) || s.max_gain_db < 0)
				return refuse("max-gain must be a number of dB, 0 or more: ",
				              optarg);
			s.max_gain_given = true;
			break;
		case 'D': s.audio = optarg; break;
		case opt_record:
		case opt_loopback:
			if (!whole_number(optarg, 0, 63, v))
				return refuse(c == opt_record
				                      ? "record must be a channel from 0 to 63: "
				                      : "loopback must be a channel from 0 to 63: ",
				              optarg);
			(c == opt_record ? s.record : s.loopback) = static_cast<int32_t>(v);
			(c == opt_record ? s.record_given : s.loopback_given) = true;
			break;
		case opt_apply:
			s.apply = true;
			s.profile = optarg;
			break;
		case 'h': return tune_parse::help;
		default: print_tune_usage(stderr, false); return tune_parse::usage_error;
		}
	}
	if (s.apply) {
		if (optind < argc || s.device != nullptr || what_given || part_given ||
		    channels_given || rate_given || length_given || port_given ||
		    s.audio != nullptr || s.record_given || s.loopback_given)
			return refuse("--apply takes the profile alone: the device is the "
			              "profile's");
		return tune_parse::run;
	}
	if (argc - optind > 1)
		return refuse("one profile at most");
	if (optind < argc)
		s.profile = argv[optind];
	if (s.device != nullptr && (rate_given || length_given))
		return refuse("-d takes the rate and length from the device; drop -r and -n");
	if (s.device == nullptr && (what_given || part_given || channels_given))
		return refuse("-w, -p and -c go with -d");
	if (s.record_given && s.loopback_given && s.record == s.loopback)
		return refuse("--record and --loopback name the same channel");
	return tune_parse::run;
}
