#include "options.h"

#include "diag.h"

#include <fcntl.h>
#include <sysexits.h>

#include <cctype>
#include <cstdint>

std::optional<int32_t> parse_int(const char *text)
{
	const char *p = text;
	while (std::isspace(static_cast<unsigned char>(*p)))
		p++;
	bool negative = false;
	if (*p == '+' || *p == '-')
		negative = *p++ == '-';
	int64_t value = 0;
	for (; *p >= '0' && *p <= '9'; p++) {
		value = value * 10 + (*p - '0');
		if (value > int64_t{INT32_MAX} + 1)
			return std::nullopt;
	}
	if (negative)
		value = -value;
	if (value > INT32_MAX)
		return std::nullopt;
	return static_cast<int32_t>(value);
}

void print_usage()
{
	diag("Usage: firload -d /dev/pcmx.ctl \n"
	     "\t -d, --device [control device]\n"
	     "\t -w, --what [rx_dev,tx_dev,rx_loop,tx_loop, default tx_dev]\n"
	     "\t -p, --part [part number, default 0]\n"
	     "\t -c, --channels [channels, default -1]\n"
	     "\t -f, --file [read input from file, default standard input]\n"
	     "\t -o, --off [disable equalizer]\n"
	     "\t -q, --quiet\n"
	     "\t -h, --help\n");
}

const char *const short_options = "d:c:f:op:w:qh";

const option long_options[] = {
        {"device", required_argument, nullptr, 'd'},
        {"part", required_argument, nullptr, 'p'},
        {"channels", required_argument, nullptr, 'c'},
        {"what", required_argument, nullptr, 'w'},
        {"off", no_argument, nullptr, 'o'},
        {"quiet", no_argument, nullptr, 'q'},
        {"file", required_argument, nullptr, 'f'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
};

static int usage_error(const char *message)
{
	diag("%s", message);
	print_usage();
	return EX_USAGE;
}

int parse_options(int argc, char **argv, run_settings &settings)
{
	int c;
	while ((c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
		switch (c) {
		case 'd': settings.device = optarg; break;
		case 'p': {
			std::optional<int32_t> part = parse_int(optarg);
			if (!part || *part < 0)
				return usage_error("Invalid part number\n");
			settings.part = *part;
			break;
		}
		case 'c': {
			std::optional<int32_t> channels = parse_int(optarg);
			if (!channels || *channels == 0)
				return usage_error("Wrong number of channels\n");
			settings.channels = *channels;
			break;
		}
		case 'w':
			settings.target = find_target(optarg);
			if (settings.target == nullptr)
				return usage_error("Bad -w argument not recognized\n");
			break;
		case 'o': settings.off = true; break;
		case 'q': quiet = true; break;
		case 'f':
			if (settings.input != 0)
				return usage_error("Can only specify one file\n");
			settings.input = open(optarg, O_RDONLY);
			if (settings.input < 0)
				return usage_error("Cannot open specified file\n");
			break;
		default: // -h, and getopt_long's own complaints
			print_usage();
			return EX_USAGE;
		}
	}
	// The layout comes from -f or standard input only: an operand would
	// otherwise be passed over while something else is loaded.
	if (optind < argc) {
		diag("Unexpected operand %s: give the layout file with -f\n", argv[optind]);
		print_usage();
		return EX_USAGE;
	}
	return 0;
}
