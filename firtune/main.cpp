// firtune: tune by ear. A local web page (served on 127.0.0.1 only) that
// designs as the curve is dragged and loads a filter per channel; or, with
// --apply, the saved profile loaded at boot.
#include "apply.h"
#include "diag.h"
#include "options.h"
#include "profile.h"
#include "server.h"
#include "session.h"

#include <signal.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

// Bytes of the token: 256 bits from the system's random source.
constexpr size_t token_bytes = 32;

bool new_token(std::string &token)
{
	unsigned char bytes[token_bytes];
	if (getentropy(bytes, sizeof bytes) != 0)
		return false;
	static const char digits[] = "0123456789abcdef";
	token.clear();
	for (unsigned char b : bytes) {
		token += digits[b >> 4];
		token += digits[b & 15];
	}
	return true;
}

// The profile operand: read when it exists, else an empty start that
// saving creates.
int read_profile(tune_session &s, const char *path)
{
	s.profile_path = path;
	s.real_profile = profile_real_path(path);
	std::string shown = visible(path), text, why;
	switch (read_text_file(path, largest_profile, text, why)) {
	case file_read::ok: break;
	case file_read::missing:
		std::fprintf(stderr, "firtune: %s does not exist yet; Save will create it\n",
		             shown.c_str());
		return 0;
	case file_read::too_much:
		std::fprintf(stderr, "firtune: %s: the profile is too large\n", shown.c_str());
		return EX_DATAERR;
	case file_read::error:
		std::fprintf(stderr, "firtune: cannot read %s: %s\n", shown.c_str(), why.c_str());
		return EX_NOINPUT;
	}
	import_error err;
	if (!parse_profile(text, s.prof, err) ||
	    !read_profile_layouts(s.real_profile, s.prof, s.layouts, err)) {
		std::fprintf(stderr, "firtune: %s:%d: %s\n", shown.c_str(), err.line,
		             visible(err.what).c_str());
		return EX_DATAERR;
	}
	if (s.has_device)
		for (const profile_channel &c : s.prof.channels)
			if (c.channel >= s.channels) {
				std::fprintf(stderr, "firtune: %s:%d: the part has no channel %d\n",
				             shown.c_str(), c.line, c.channel);
				return EX_DATAERR;
			}
	if (!s.has_device && !s.layouts.empty() && s.layouts.rbegin()->first >= s.channels)
		s.channels = s.layouts.rbegin()->first + 1;
	std::vector<std::string> differences = setting_differences(s);
	for (const std::string &d : differences)
		std::fprintf(stderr, "firtune: %s: %s\n", shown.c_str(), visible(d).c_str());
	if (!differences.empty())
		std::fputs("firtune: Save keeps the profile's device, what and part lines unless "
		           "the page confirms replacing them\n",
		           stderr);
	return 0;
}

int serve(const tune_settings &settings)
{
	tune_session s;
	s.rate = settings.rate;
	s.length = settings.length;
	if (settings.device != nullptr)
		if (int status = open_device(s, settings.device, *settings.target, settings.part,
		                             settings.channels))
			return status;
	if (settings.profile != nullptr)
		if (int status = read_profile(s, settings.profile))
			return status;
	s.max_gain_db = settings.max_gain_given   ? settings.max_gain_db
	                : s.prof.max_gain.empty() ? default_max_gain
	                                          : s.prof.max_gain_db;
	s.phase = profile_phase(s.prof);
	if (int status = plan_designer(s))
		return status;
	eq_guard guard{s.eq};
	if (!new_token(s.token)) {
		std::fprintf(stderr, "firtune: cannot draw a token: %s\n", std::strerror(errno));
		return EX_OSERR;
	}

	// Any thread the server starts inherits this mask: the signals wait
	// for the serving loop. A shell starts background commands with SIGINT
	// ignored, and an ignored signal is never pending.
	signal(SIGINT, SIG_DFL);
	signal(SIGTERM, SIG_DFL);
	sigset_t stop;
	sigemptyset(&stop);
	sigaddset(&stop, SIGINT);
	sigaddset(&stop, SIGTERM);
	pthread_sigmask(SIG_BLOCK, &stop, nullptr);
	signal(SIGPIPE, SIG_IGN);

	tune_server server;
	if (!start_server(server, s, settings.port))
		return EX_UNAVAILABLE;
	std::printf("firtune: http://127.0.0.1:%d/#%s\n", s.port, s.token.c_str());
	if (std::fflush(stdout) != 0) {
		stop_server(server);
		std::fprintf(stderr, "firtune: cannot write standard output: %s\n",
		             std::strerror(errno));
		return EX_IOERR;
	}
	serve_until(server, stop);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	tune_settings settings;
	switch (parse_tune_options(argc, argv, settings)) {
	case tune_parse::help: print_tune_usage(stdout, true); return 0;
	case tune_parse::usage_error: return EX_USAGE;
	case tune_parse::run: break;
	}
	if (settings.apply)
		return apply_profile(settings);
	return serve(settings);
}
