#include "harness.h"

#include "options.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

extern char **environ;

const char *const usage_text = "Usage: firload -d /dev/pcmx.ctl \n"
                               "\t -d, --device [control device]\n"
                               "\t -w, --what [rx_dev,tx_dev,rx_loop,tx_loop, default tx_dev]\n"
                               "\t -p, --part [part number, default 0]\n"
                               "\t -c, --channels [channels, default -1]\n"
                               "\t -f, --file [read input from file, default standard input]\n"
                               "\t -o, --off [disable equalizer]\n"
                               "\t -q, --quiet\n"
                               "\t -h, --help\n";

static std::string make_temp(const std::string &contents)
{
	char name[] = "/tmp/firload-test-XXXXXX";
	int fd = mkstemp(name);
	if (fd < 0)
		std::abort();
	size_t done = 0;
	while (done < contents.size()) {
		ssize_t n = write(fd, contents.data() + done, contents.size() - done);
		if (n <= 0)
			std::abort();
		done += static_cast<size_t>(n);
	}
	close(fd);
	return name;
}

temp_file::temp_file(const std::string &contents) : path(make_temp(contents)) {}
temp_file::~temp_file()
{
	unlink(path.c_str());
}

std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream all;
	all << in.rdbuf();
	return all.str();
}

run_result run_tool(const std::vector<std::string> &args, const std::string &input,
                    const env_list &env, int timeout_seconds)
{
	return run_program(FIRLOAD_BINARY, "firload", args, input, env, timeout_seconds);
}

run_result run_program(const char *binary, const char *argv0, const std::vector<std::string> &args,
                       const std::string &input, const env_list &env, int timeout_seconds)
{
	temp_file in(input), out(""), err(""), journal("");

	std::vector<std::string> envs;
	for (char **e = environ; *e != nullptr; e++)
		if (std::strncmp(*e, "FIRLOAD_SIM_", 12) != 0 &&
		    std::strncmp(*e, "LD_PRELOAD=", 11) != 0)
			envs.emplace_back(*e);
	envs.push_back(std::string("LD_PRELOAD=") + FIRLOAD_SIM_LIB);
	envs.push_back("FIRLOAD_SIM_JOURNAL=" + journal.path);
	// A sanitized tool sees the stand-in ahead of its runtime; that is meant.
	envs.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1");
	for (const auto &[name, value] : env)
		envs.push_back(name + "=" + value);

	std::vector<std::string> argv_s{argv0};
	argv_s.insert(argv_s.end(), args.begin(), args.end());
	std::vector<char *> argv, envp;
	for (auto &a : argv_s)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	for (auto &e : envs)
		envp.push_back(e.data());
	envp.push_back(nullptr);

	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(&actions, 0, in.path.c_str(), O_RDONLY, 0);
	posix_spawn_file_actions_addopen(&actions, 1, out.path.c_str(), O_WRONLY | O_TRUNC, 0);
	posix_spawn_file_actions_addopen(&actions, 2, err.path.c_str(), O_WRONLY | O_TRUNC, 0);
	pid_t pid;
	run_result result;
	if (posix_spawn(&pid, binary, &actions, nullptr, argv.data(), envp.data()) != 0)
		std::abort();
	posix_spawn_file_actions_destroy(&actions);

	auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
	int wstatus = 0;
	for (;;) {
		pid_t done = waitpid(pid, &wstatus, WNOHANG);
		if (done == pid)
			break;
		if (std::chrono::steady_clock::now() > deadline) {
			kill(pid, SIGKILL);
			waitpid(pid, &wstatus, 0);
			result.timed_out = true;
			break;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	}
	if (!result.timed_out && WIFEXITED(wstatus))
		result.status = WEXITSTATUS(wstatus);
	result.out = read_file(out.path);
	result.err = read_file(err.path);
	result.journal = read_file(journal.path);
	return result;
}

std::vector<std::string> journal_requests(const std::string &journal)
{
	static const std::regex address("coefficients=0x[0-9a-f]+");
	static const std::regex descriptor("fd=[0-9]+");
	std::vector<std::string> lines;
	std::istringstream in(journal);
	for (std::string line; std::getline(in, line);)
		if (line.rfind("coefficient ", 0) != 0)
			lines.push_back(std::regex_replace(
			        std::regex_replace(line, address, "coefficients=ADDR"), descriptor,
			        "fd=N"));
	return lines;
}

std::vector<std::vector<double>> journal_filters(const std::string &journal)
{
	std::vector<std::vector<double>> filters;
	std::istringstream in(journal);
	for (std::string line; std::getline(in, line);) {
		if (line.rfind("ioctl fir_write", 0) == 0 && line.ends_with("-> loaded")) {
			filters.emplace_back();
		} else if (line.rfind("coefficient ", 0) == 0) {
			const char *value = std::strchr(line.c_str() + 12, ' ');
			filters.back().push_back(std::strtod(value + 1, nullptr));
		}
	}
	return filters;
}

static const char *code(const char *target, int base)
{
	static char text[16];
	static const char *const names[] = {"rx_dev", "tx_dev", "rx_loop", "tx_loop"};
	for (int i = 0; i < 4; i++)
		if (std::strcmp(names[i], target) == 0)
			std::snprintf(text, sizeof text, "0xc0184f%02x", base + 2 * i);
	return text;
}

std::string j_open(const char *path)
{
	return std::string("open path=") + path + " flags=rdwr -> fd=N";
}
std::string j_rate(int rate)
{
	return "ioctl rate request=0x40044f2a -> " + std::to_string(rate);
}

std::string j_read(const char *target, int part, int length_answered)
{
	std::ostringstream s;
	s << "ioctl fir_read target=" << target << " request=" << code(target, 0x22)
	  << " part=" << part << " channel=0 length=0 gap=0 coefficients=null -> ";
	if (length_answered == INT32_MIN)
		s << "fail";
	else
		s << "length=" << length_answered;
	return s.str();
}

std::string j_write(const char *target, int part, int channel, int length, const char *address,
                    const char *answer)
{
	std::ostringstream s;
	s << "ioctl fir_write target=" << target << " request=" << code(target, 0x23)
	  << " part=" << part << " channel=" << channel << " length=" << length
	  << " gap=0 coefficients=" << address << " -> " << answer;
	return s.str();
}

std::string j_info(const char *kind, int part, const char *answer)
{
	std::ostringstream s;
	s << "ioctl part_info kind=" << kind << " request=0xc0544f0"
	  << (std::strcmp(kind, "dev") == 0 ? 1 : 3) << " part=" << part << " zeros=yes -> "
	  << answer;
	return s.str();
}

std::string j_close()
{
	return "close fd=N";
}

std::string capture_stderr(const std::function<void()> &body)
{
	std::fflush(stderr);
	FILE *sink = std::tmpfile();
	int saved = dup(2);
	dup2(fileno(sink), 2);
	body();
	std::fflush(stderr);
	dup2(saved, 2);
	close(saved);
	std::string text;
	std::rewind(sink);
	char chunk[4096];
	size_t n;
	while ((n = std::fread(chunk, 1, sizeof chunk, sink)) > 0)
		text.append(chunk, n);
	std::fclose(sink);
	return text;
}

std::string getopt_complaint(const std::vector<std::string> &args)
{
	std::vector<std::string> words{"firload"};
	words.insert(words.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (auto &w : words)
		argv.push_back(w.data());
	argv.push_back(nullptr);
#ifdef __GLIBC__
	optind = 0; // start afresh
#else
	optreset = 1;
	optind = 1;
#endif
	opterr = 1;
	std::string said = capture_stderr([&] {
		while (getopt_long(static_cast<int>(words.size()), argv.data(), short_options,
		                   long_options, nullptr) != -1) {
		}
	});
	// Some C libraries name the running program rather than argv[0].
	size_t colon = said.find(':');
	if (colon != std::string::npos && said.compare(0, colon, "firload") != 0)
		said.replace(0, colon, "firload");
	return said;
}
