// firtune against the device stand-in: the security rules of the server,
// per-channel loads compared with firload's taps, and --apply of profiles.
#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

extern char **environ;

namespace
{

// One filter-write request of the journal.
struct journal_write {
	int channel;
	std::string result; // loaded, off or fail
	std::vector<double> taps;
};

std::vector<journal_write> journal_writes(const std::string &journal)
{
	static const std::regex write("^ioctl fir_write .* channel=(-?[0-9]+) .* -> (\\w+)$");
	std::vector<journal_write> out;
	std::istringstream in(journal);
	std::smatch m;
	for (std::string line; std::getline(in, line);) {
		if (std::regex_match(line, m, write)) {
			out.push_back({std::stoi(m[1]), m[2], {}});
		} else if (line.rfind("coefficient ", 0) == 0 && !out.empty()) {
			const char *value = std::strchr(line.c_str() + 12, ' ');
			out.back().taps.push_back(std::strtod(value + 1, nullptr));
		}
	}
	return out;
}

const env_list small = {{"FIRLOAD_SIM_LENGTH", "512"}, {"FIRLOAD_SIM_CHANNELS", "2"}};

// What firload writes for layout under the stand-in with env.
std::vector<double> firload_taps(const std::string &layout, const env_list &env = small)
{
	temp_file file(layout);
	run_result r = run_tool({"-d", "/dev/pcmx.ctl", "-c", "1", "-f", file.path}, "", env);
	std::vector<std::vector<double>> filters = journal_filters(r.journal);
	return filters.empty() ? std::vector<double>{} : filters[0];
}

// The taps a layout gives at 48 kHz and 512 taps: firload's, or for a
// layout marked "min:" those of firdesign --phase minimum -T x.f64.
std::vector<double> expected_taps(const std::string &layout)
{
	if (!layout.starts_with("min:"))
		return firload_taps(layout);
	temp_file file(layout.substr(4)), out("");
	std::string f64 = out.path + ".f64";
	run_result r = run_program(
	        FIRDESIGN_BINARY, "firdesign",
	        {"-r", "48000", "-n", "512", "--phase", "minimum", "-q", "-T", f64, file.path}, "");
	std::string bytes = read_file(f64);
	unlink(f64.c_str());
	std::vector<double> taps(bytes.size() / sizeof(double));
	std::memcpy(taps.data(), bytes.data(), taps.size() * sizeof(double));
	return r.status == 0 ? taps : std::vector<double>{};
}

// firtune serving under the stand-in until the test ends.
struct server {
	pid_t pid = -1;
	int port = 0;
	std::string token;
	temp_file journal{""};
	int status = -1;

	explicit server(std::vector<std::string> args, const env_list &env = small)
	{
		std::vector<std::string> envs;
		for (char **e = environ; *e != nullptr; e++)
			if (std::strncmp(*e, "FIRLOAD_SIM_", 12) != 0)
				envs.emplace_back(*e);
		envs.push_back(std::string("LD_PRELOAD=") + FIRLOAD_SIM_LIB);
		envs.push_back("FIRLOAD_SIM_JOURNAL=" + journal.path);
		envs.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
		for (const auto &[name, value] : env)
			envs.push_back(name + "=" + value);
		args.insert(args.begin(), "firtune");
		std::vector<char *> argv, envp;
		for (auto &a : args)
			argv.push_back(a.data());
		argv.push_back(nullptr);
		for (auto &e : envs)
			envp.push_back(e.data());
		envp.push_back(nullptr);
		int out[2];
		if (pipe(out) != 0)
			std::abort();
		posix_spawn_file_actions_t actions;
		posix_spawn_file_actions_init(&actions);
		posix_spawn_file_actions_adddup2(&actions, out[1], 1);
		posix_spawn_file_actions_addclose(&actions, out[0]);
		if (posix_spawn(&pid, FIRTUNE_BINARY, &actions, nullptr, argv.data(),
		                envp.data()) != 0)
			std::abort();
		posix_spawn_file_actions_destroy(&actions);
		close(out[1]);
		std::string line;
		pollfd p{out[0], POLLIN, 0};
		while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1) {
			char buf[256];
			ssize_t n = read(out[0], buf, sizeof buf);
			if (n <= 0)
				break;
			line.append(buf, static_cast<size_t>(n));
		}
		close(out[0]);
		std::smatch m;
		static const std::regex printed(
		        "^firtune: http://127\\.0\\.0\\.1:([0-9]+)/#([0-9a-f]{32,})\n$");
		if (std::regex_match(line, m, printed)) {
			port = std::stoi(m[1]);
			token = m[2];
		}
	}
	// SIGTERM, then the exit status (or -1 after 10 s).
	int stop()
	{
		if (pid > 0) {
			kill(pid, SIGTERM);
			int w = 0;
			for (int i = 0; i < 1000 && waitpid(pid, &w, WNOHANG) == 0; i++)
				std::this_thread::sleep_for(std::chrono::milliseconds(10));
			if (waitpid(pid, &w, WNOHANG) == 0) {
				kill(pid, SIGKILL);
				waitpid(pid, &w, 0);
			} else {
				status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
			}
			pid = -1;
		}
		return status;
	}
	~server() { stop(); }
	server(const server &) = delete;
	server &operator=(const server &) = delete;
};

struct reply {
	int status = 0;
	std::string head, body;
};

// One request on a fresh connection, as raw text; bounded by 10 s.
reply round_trip(int port, const std::string &request)
{
	reply r;
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	timeval limit{10, 0};
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
	setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
		send(fd, request.data(), request.size(), MSG_NOSIGNAL);
		std::string all;
		char buf[65536];
		for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;)
			all.append(buf, static_cast<size_t>(n));
		size_t split = all.find("\r\n\r\n");
		r.head = all.substr(0, split);
		r.body = split == std::string::npos ? "" : all.substr(split + 4);
		if (all.rfind("HTTP/1.1 ", 0) == 0)
			r.status = std::atoi(all.c_str() + 9);
	}
	close(fd);
	return r;
}

// A request with the right Host, token, Origin and type unless the headers
// given replace them ("Name:" alone drops one).
reply call(const server &s, const std::string &method, const std::string &path,
           const std::string &body, const std::map<std::string, std::string> &changed = {})
{
	std::string own = "127.0.0.1:" + std::to_string(s.port);
	std::map<std::string, std::string> h = {{"Host", own},
	                                        {"Authorization", "Bearer " + s.token},
	                                        {"Origin", "http://" + own},
	                                        {"Content-Type", "application/json"}};
	std::string extra;
	for (const auto &[name, value] : changed) {
		if (name.back() == '+')
			extra += name.substr(0, name.size() - 1) + ": " + value + "\r\n";
		else if (value.empty())
			h.erase(name);
		else
			h[name] = value;
	}
	std::string text = method + " " + path + " HTTP/1.1\r\n";
	for (const auto &[name, value] : h)
		text += name + ": " + value + "\r\n";
	text += extra;
	if (!changed.contains("Content-Length"))
		text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
	text += "Connection: close\r\n\r\n" + body;
	return round_trip(s.port, text);
}

TEST(firtune, refuses_what_the_rules_forbid_and_writes_nothing)
{
	server s({"-d", "/dev/pcmx.ctl"});
	ASSERT_GT(s.port, 0);
	std::string load = R"({"channels":[0],"layout":"100 2\n"})";
	std::string port = std::to_string(s.port);
	struct refused {
		const char *what;
		std::string method, path, body;
		std::map<std::string, std::string> headers;
		int status;
	} cases[] = {
	        {"wrong host", "POST", "/api/load", load, {{"Host", "example.org:" + port}}, 421},
	        {"rebinding name",
	         "POST",
	         "/api/load",
	         load,
	         {{"Host", "rebind.example:" + port}},
	         421},
	        {"host without port", "POST", "/api/load", load, {{"Host", "127.0.0.1"}}, 421},
	        {"two hosts", "POST", "/api/load", load, {{"Host+", "localhost:" + port}}, 421},
	        {"no token", "POST", "/api/load", load, {{"Authorization", ""}}, 401},
	        {"measure from elsewhere",
	         "POST",
	         "/api/measure",
	         R"({"channel":0})",
	         {{"Origin", "http://example.org"}},
	         403},
	        {"cancel without token",
	         "DELETE",
	         "/api/measure/1",
	         "{}",
	         {{"Authorization", ""}},
	         401},
	        {"wrong token",
	         "POST",
	         "/api/load",
	         load,
	         {{"Authorization", "Bearer " + std::string(64, '0')}},
	         401},
	        {"token prefix",
	         "POST",
	         "/api/load",
	         load,
	         {{"Authorization", "Bearer " + s.token.substr(0, 10)}},
	         401},
	        {"token on the page only",
	         "GET",
	         "/api/device",
	         "",
	         {{"Authorization", "Basic x"}},
	         401},
	        {"cross origin",
	         "POST",
	         "/api/load",
	         load,
	         {{"Origin", "http://example.org"}},
	         403},
	        {"no origin", "POST", "/api/load", load, {{"Origin", ""}}, 403},
	        {"text/plain", "POST", "/api/load", load, {{"Content-Type", "text/plain"}}, 415},
	        {"form",
	         "POST",
	         "/api/load",
	         load,
	         {{"Content-Type", "application/x-www-form-urlencoded"}},
	         415},
	        {"oversize body", "POST", "/api/load", "", {{"Content-Length", "300000"}}, 413},
	        {"unknown path", "POST", "/api/loads", load, {}, 404},
	        {"dot dot", "GET", "/../etc/passwd", "", {}, 404},
	        {"encoded dot dot", "GET", "/%2e%2e/%2e%2e/etc/passwd", "", {}, 404},
	        {"page path", "GET", "/index.html/../../CMakeLists.txt", "", {}, 404},
	        {"wrong method", "GET", "/api/load", "", {}, 405},
	        {"unknown field",
	         "POST",
	         "/api/load",
	         R"({"channels":[0],"layout":"","x":1})",
	         {},
	         400},
	        {"malformed", "POST", "/api/load", R"({"channels":[0],)", {}, 400},
	        {"channel as text",
	         "POST",
	         "/api/load",
	         R"({"channels":["0"],"layout":""})",
	         {},
	         400},
	        {"channel the part lacks",
	         "POST",
	         "/api/load",
	         R"({"channels":[0,2],"layout":""})",
	         {},
	         422},
	        {"negative channel", "POST", "/api/off", R"({"channels":[-1]})", {}, 422},
	        {"layout refused",
	         "POST",
	         "/api/load",
	         R"({"channels":[0],"layout":"100 2\n50 x\n"})",
	         {},
	         422},
	        {"layout too long",
	         "POST",
	         "/api/load",
	         R"({"channels":[0],"layout":")" + std::string(65535, '1') + "\"}",
	         {},
	         422},
	        {"encoded NUL", "GET", "/style.css%00.js", "", {}, 404},
	        {"encoded letter", "GET", "/style%2ecss", "", {}, 404},
	        // Refused on the headers: the body announced is never waited for.
	        {"tokenless import",
	         "POST",
	         "/api/import",
	         "",
	         {{"Authorization", ""}, {"Content-Length", "10000000"}},
	         401},
	        {"wrong host with a body",
	         "POST",
	         "/api/import",
	         "",
	         {{"Host", "example.org:" + port}, {"Content-Length", "10000000"}},
	         421},
	        {"peak gain over the limit",
	         "POST",
	         "/api/load",
	         R"({"channels":[0,1],"layout":"90.82 82.2243\n"})",
	         {},
	         422},
	};
	for (const refused &c : cases) {
		reply r = call(s, c.method, c.path, c.body, c.headers);
		EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.head << "\n" << r.body;
		EXPECT_EQ(r.head.find("Access-Control-"), std::string::npos) << c.what;
		EXPECT_NE(r.head.find("X-Content-Type-Options: nosniff"), std::string::npos)
		        << c.what;
	}
	EXPECT_EQ(
	        call(s, "POST", "/api/load", R"({"channels":[0],"layout":"90.82 82.2243\n"})").body,
	        "{\"error\":\"peak gain +38.3 dB exceeds the limit of +12 dB\"}\n");
	EXPECT_TRUE(journal_writes(read_file(s.journal.path)).empty());

	// The same request with every rule kept writes: the refusals above were
	// refusals of the rule each one broke.
	EXPECT_EQ(call(s, "POST", "/api/load", load).status, 200);
	EXPECT_EQ(journal_writes(read_file(s.journal.path)).size(), 1u);
	EXPECT_EQ(s.stop(), 0);
}

// A connection to port, or -1.
int connect_to(int port)
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
		close(fd);
		return -1;
	}
	return fd;
}

TEST(firtune, answers_its_owner_while_other_clients_hold_on)
{
	server s({"-n", "512"});
	ASSERT_GT(s.port, 0);
	std::string own = "127.0.0.1:" + std::to_string(s.port);
	// More slow clients than connections were allowed once, each with
	// headers that never end.
	std::vector<int> slow;
	for (int i = 0; i < 40; i++) {
		int fd = connect_to(s.port);
		ASSERT_GE(fd, 0);
		std::string part = "GET / HTTP/1.1\r\nHost: " + own + "\r\nX: ";
		send(fd, part.data(), part.size(), MSG_NOSIGNAL);
		slow.push_back(fd);
	}
	auto start = std::chrono::steady_clock::now();
	EXPECT_EQ(call(s, "GET", "/api/device", "").status, 200);
	EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

	// A chunked body over the limit is cut off there, not read to its end.
	int fd = connect_to(s.port);
	ASSERT_GE(fd, 0);
	std::string head =
	        "POST /api/load HTTP/1.1\r\nHost: " + own + "\r\nAuthorization: Bearer " + s.token +
	        "\r\nOrigin: http://" + own +
	        "\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
	send(fd, head.data(), head.size(), MSG_NOSIGNAL);
	std::string chunk = "10000\r\n" + std::string(65536, ' ') + "\r\n";
	size_t sent = 0;
	timeval limit{10, 0};
	setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
	while (sent < (size_t{64} << 20) && send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) ==
	                                            static_cast<ssize_t>(chunk.size()))
		sent += 65536;
	EXPECT_LT(sent, size_t{64} << 20);
	close(fd);

	// Headers get 5 s in all, however slowly their bytes come.
	for (int i = 0; i < 7; i++) {
		std::this_thread::sleep_for(std::chrono::seconds(1));
		for (int f : slow)
			send(f, "x", 1, MSG_NOSIGNAL);
	}
	size_t closed = 0;
	for (int f : slow) {
		char c;
		pollfd p{f, POLLIN, 0};
		closed += poll(&p, 1, 1000) == 1 && recv(f, &c, 1, MSG_DONTWAIT) <= 0;
		close(f);
	}
	EXPECT_EQ(closed, slow.size());
	EXPECT_EQ(call(s, "GET", "/api/device", "").status, 200);
	EXPECT_EQ(s.stop(), 0);
}

TEST(firtune, page_is_served_by_exact_name_without_the_token)
{
	server s({"-n", "512"});
	struct page_case {
		std::string path;
		int status;
		const char *type;
	} cases[] = {
	        {"/", 200, "text/html"},
	        {"/index.html", 200, "text/html"},
	        {"/INDEX.HTML", 404, "application/json"},
	        {"/index.html?x=1", 200, "text/html"},
	        {"//index.html", 404, "application/json"},
	};
	for (const page_case &c : cases) {
		reply r = call(s, "GET", c.path, "", {{"Authorization", ""}});
		EXPECT_EQ(r.status, c.status) << c.path;
		EXPECT_NE(r.head.find(std::string("Content-Type: ") + c.type), std::string::npos)
		        << c.path << "\n"
		        << r.head;
		EXPECT_NE(
		        r.head.find("Content-Security-Policy: default-src 'self'; frame-ancestors "
		                    "'none'"),
		        std::string::npos);
		EXPECT_NE(r.head.find("X-Frame-Options: DENY"), std::string::npos);
		EXPECT_NE(r.head.find("Cache-Control: no-store"), std::string::npos);
	}
	// Without a device nothing loads; a design asked to is answered, saying
	// why it was not written.
	EXPECT_EQ(call(s, "POST", "/api/bypass", R"({"channels":[0]})").status, 409);
	reply loaded = call(s, "POST", "/api/design", R"({"layout":"100 2\n","load":[0]})");
	EXPECT_EQ(loaded.status, 200);
	EXPECT_NE(loaded.body.find("started without a device"), std::string::npos) << loaded.body;
}

TEST(firtune, loads_a_filter_per_channel_as_firload_designs_it)
{
	server s({"-d", "/dev/pcmx.ctl"});
	ASSERT_GT(s.port, 0);
	const std::string left = "60 2\n150 2\n300 1\n", right = "1000 1\n4000 0.5\n";
	struct step {
		const char *path;
		std::string body;
		int status;
		// What the journal gains: channel and the layout written ("" flat),
		// or "off".
		std::vector<std::pair<int, std::string>> writes;
		const char *says = ""; // in the answer
	} steps[] = {
	        {"/api/load",
	         R"({"channels":[0],"layout":"60 2\n150 2\n300 1\n"})",
	         200,
	         {{0, left}}},
	        {"/api/load",
	         R"({"channels":[1],"layout":"1000 1\n4000 0.5\n"})",
	         200,
	         {{1, right}}},
	        {"/api/bypass", R"({"channels":[0,1]})", 200, {{0, ""}, {1, ""}}},
	        {"/api/off", R"({"channels":[1]})", 200, {{1, "off"}}},
	        {"/api/load",
	         R"({"channels":[0,1],"layout":"60 2\n150 2\n300 1\n"})",
	         200,
	         {{0, left}, {1, left}}},
	        {"/api/load", R"({"channels":[1,5],"layout":"1000 1\n"})", 422, {}},
	        {"/api/load", R"({"channels":[0],"layout":"1000 1\n500 1\n"})", 422, {}},
	        // Minimum phase, then bypass under it: the unit impulse at tap 0.
	        {"/api/load",
	         R"({"channels":[0,1],"layout":"60 2\n150 2\n300 1\n","phase":"minimum"})",
	         200,
	         {{0, "min:" + left}, {1, "min:" + left}}},
	        {"/api/bypass", R"({"channels":[1]})", 200, {{1, "min:"}}},
	        {"/api/bypass", R"({"channels":[1],"phase":"mixed"})", 422, {}},
	        {"/api/design", R"({"layout":"60 2\n","phase":"minimum"})", 200, {}},
	        {"/api/design", R"({"layout":"60 2\n","phase":1})", 400, {}},
	        {"/api/bypass", R"({"channels":[1],"phase":"linear"})", 200, {{1, ""}}},
	        // A design that is also written: Live's one request.
	        {"/api/design",
	         R"({"layout":"1000 1\n4000 0.5\n","load":[0,1]})",
	         200,
	         {{0, right}, {1, right}},
	         R"("written":true)"},
	        {"/api/design",
	         R"({"layout":"1000 8\n","load":[0]})",
	         200,
	         {},
	         "exceeds the limit"},
	        {"/api/design", R"({"layout":"1000 1\n","load":[7]})", 422, {}, "no channel 7"},
	        {"/api/design", R"({"layout":"1000 1\n","load":"all"})", 400, {}, "'load'"},
	};
	std::map<std::string, std::vector<double>> expected;
	size_t seen = 0;
	for (const step &st : steps) {
		reply r = call(s, "POST", st.path, st.body);
		EXPECT_EQ(r.status, st.status) << st.path << " " << st.body << "\n" << r.body;
		EXPECT_NE(r.body.find(st.says), std::string::npos) << st.body << "\n" << r.body;
		std::vector<journal_write> all = journal_writes(read_file(s.journal.path));
		ASSERT_EQ(all.size() - seen, st.writes.size()) << st.body;
		for (size_t i = 0; i < st.writes.size(); i++) {
			const journal_write &w = all[seen + i];
			const auto &[channel, layout] = st.writes[i];
			EXPECT_EQ(w.channel, channel) << st.body;
			if (layout == "off") {
				EXPECT_EQ(w.result, "off");
				continue;
			}
			EXPECT_EQ(w.result, "loaded");
			if (!expected.contains(layout))
				expected[layout] = expected_taps(layout);
			ASSERT_EQ(w.taps.size(), 512u);
			if (layout == "min:") {
				EXPECT_EQ(w.taps[0], 1.0);
				EXPECT_EQ(std::count(w.taps.begin(), w.taps.end(), 0.0), 511);
			}
			EXPECT_EQ(w.taps, expected[layout])
			        << "channel " << channel << ": " << layout;
		}
		seen = all.size();
	}
	EXPECT_EQ(s.stop(), 0);
}

TEST(firtune, apply_loads_a_profile_or_refuses_it_where_it_is_bad)
{
	const std::string left = "60 2\n150 2\n", right = "\xef\xbb\xbf"
	                                                  "2000 0.5\n";
	struct apply_case {
		const char *what;
		std::string profile;
		env_list env;
		int status;
		std::string message; // in standard error; "" for none
		std::vector<std::pair<int, std::string>> written;
	} cases[] = {
	        {"two channels",
	         "# room\ndevice /dev/pcmx.ctl\nwhat tx_dev\npart 0\nchannel 0 left.eq\nchannel 1 "
	         "right.eq\n",
	         small,
	         0,
	         "",
	         {{0, left}, {1, "2000 0.5\n"}}},
	        {"a channel the device refuses",
	         "device /dev/pcmx.ctl\nchannel 0 left.eq\nchannel 1 right.eq\n",
	         {{"FIRLOAD_SIM_LENGTH", "512"}, {"FIRLOAD_SIM_FAIL", "write@1"}},
	         70,
	         "firtune: channel 1: right.eq: Cannot set FIR filter on channel",
	         {{0, left}}},
	        {"a channel the part lacks",
	         "device /dev/pcmx.ctl\nchannel 0 left.eq\nchannel 2 right.eq\n",
	         small,
	         70,
	         "firtune: channel 2: right.eq: part 0 has no channel 2 (it has 2)",
	         {}},
	        {"unknown keyword",
	         "device /dev/pcmx.ctl\nchanel 0 left.eq\n",
	         small,
	         65,
	         "room.profile:2: unknown keyword 'chanel'",
	         {}},
	        {"channel twice",
	         "device /dev/pcmx.ctl\nchannel 0 left.eq\nchannel 0 right.eq\n",
	         small,
	         65,
	         "room.profile:3: channel 0 given twice",
	         {}},
	        {"missing layout",
	         "device /dev/pcmx.ctl\nchannel 0 left.eq\nchannel 1 gone.eq\n",
	         small,
	         65,
	         "room.profile:3: gone.eq: No such file or directory",
	         {}},
	        {"no device",
	         "# room\nchannel 0 left.eq\n",
	         small,
	         65,
	         "room.profile:2: no device line",
	         {}},
	        {"the audio side, measurements kept",
	         "device /dev/pcmx.ctl\nchannel 0 left.eq\naudio /dev/dsp\nrecord 0\nloopback "
	         "1\nmeasurement 0 a.txt\nmeasurement 0 b.txt\n",
	         small,
	         0,
	         "",
	         {{0, left}}},
	        {"microphone on the loopback",
	         "device /dev/pcmx.ctl\nrecord 1\nloopback 1\nchannel 0 left.eq\n",
	         small,
	         65,
	         "room.profile:3: record and loopback name the same channel",
	         {}},
	        {"a third measurement",
	         "device /dev/pcmx.ctl\nchannel 0 left.eq\nmeasurement 0 a.txt\nmeasurement 0 "
	         "b.txt\nmeasurement 0 c.txt\n",
	         small,
	         65,
	         "room.profile:5: channel 0 has its two measurements already",
	         {}},
	        {"bad target",
	         "device /dev/pcmx.ctl\nwhat tx\nchannel 0 left.eq\n",
	         small,
	         65,
	         "room.profile:2: what must be",
	         {}},
	        {"layout refused",
	         "device /dev/pcmx.ctl\nchannel 0 left.eq\nchannel 1 bad.eq\n",
	         small,
	         65,
	         "room.profile:3: bad.eq:2: ",
	         {}},
	        {"no such device",
	         "device /dev/nothing\nchannel 0 left.eq\n",
	         small,
	         70,
	         "Cannot open DSP device",
	         {}},
	        {"two channels, one file",
	         "device /dev/pcmx.ctl\nchannel 0 left.eq\nchannel 1 ./left.eq\n",
	         small,
	         65,
	         "room.profile:3: channel 1 uses ./left.eq, which channel 0 uses too",
	         {}},
	        {"peak gain over the limit",
	         "device /dev/pcmx.ctl\nchannel 0 left.eq\nchannel 1 loud.eq\n",
	         small,
	         65,
	         "room.profile:3: loud.eq: peak gain +38.3 dB exceeds the limit of +12 dB; "
	         "nothing written",
	         {}},
	        {"the profile raises the limit",
	         "device /dev/pcmx.ctl\nchannel 0 loud.eq\nmax-gain 40\n",
	         small,
	         0,
	         "",
	         {{0, "90.82 82.2243\n"}}},
	        {"minimum phase",
	         "device /dev/pcmx.ctl\nchannel 0 left.eq\nphase minimum\n",
	         small,
	         0,
	         "",
	         {{0, "min:" + left}}},
	        {"bad phase",
	         "device /dev/pcmx.ctl\nchannel 0 left.eq\nphase least\n",
	         small,
	         65,
	         "room.profile:3: phase must be linear or minimum, not 'least'",
	         {}},
	        {"control characters",
	         "device /dev/pcmx.ctl\nchan\033[2J\a 0 left.eq\n",
	         small,
	         65,
	         "room.profile:2: unknown keyword 'chan\\033[2J\\a'\n",
	         {}},
	};
	for (const apply_case &c : cases) {
		char folder[] = "/tmp/firtune-test-XXXXXX";
		ASSERT_NE(mkdtemp(folder), nullptr);
		std::string dir = folder;
		auto put = [&](const std::string &name, const std::string &text) {
			int fd = open((dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC,
			              0644);
			ASSERT_EQ(write(fd, text.data(), text.size()),
			          static_cast<ssize_t>(text.size()));
			close(fd);
		};
		put("left.eq", left);
		put("right.eq", right);
		put("bad.eq", "100 1\n50 1\n");
		put("loud.eq", "90.82 82.2243\n");
		put("room.profile", c.profile);
		// Applied through a link from another folder: the layouts are
		// beside the file it leads to.
		ASSERT_EQ(mkdir((dir + "/etc").c_str(), 0755), 0);
		ASSERT_EQ(symlink("../room.profile", (dir + "/etc/room.profile").c_str()), 0);
		run_result r = run_program(FIRTUNE_BINARY, "firtune",
		                           {"--apply", dir + "/etc/room.profile"}, "", c.env);
		EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.err;
		if (!c.message.empty()) {
			EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << "\n"
			                                                    << r.err;
		}
		std::vector<journal_write> writes;
		for (const journal_write &w : journal_writes(r.journal))
			if (w.result == "loaded")
				writes.push_back(w);
		ASSERT_EQ(writes.size(), c.written.size()) << c.what;
		for (size_t i = 0; i < writes.size(); i++) {
			EXPECT_EQ(writes[i].channel, c.written[i].first) << c.what;
			EXPECT_EQ(writes[i].taps, expected_taps(c.written[i].second)) << c.what;
			EXPECT_NE(
			        r.out.find("channel " + std::to_string(c.written[i].first) + ": "),
			        std::string::npos);
		}
		for (const char *name : {"left.eq", "right.eq", "bad.eq", "loud.eq", "room.profile",
		                         "etc/room.profile"})
			unlink((dir + "/" + name).c_str());
		rmdir((dir + "/etc").c_str());
		rmdir(folder);
	}
}

TEST(firtune, saves_a_profile_that_apply_loads_again)
{
	char folder[] = "/tmp/firtune-test-XXXXXX";
	ASSERT_NE(mkdtemp(folder), nullptr);
	std::string dir = folder, path = dir + "/room.profile";
	struct save {
		std::string body;
		int status;
		std::string profile; // the profile file afterwards
	} saves[] = {
	        {R"({"channels":{"0":"60 2\n150 2\n","1":"2000 0.5"}})", 200,
	         "device /dev/pcmx.ctl\nwhat tx_dev\npart 0\nchannel 0 room.ch0.eq\n"
	         "channel 1 room.ch1.eq\n"},
	        // Refused whole: neither file changes.
	        {R"({"channels":{"0":"100 1\n","1":"100 1\n50 1\n"}})", 422, ""},
	        {R"({"channels":{"7":"100 1\n"}})", 422, ""},
	        {R"({"channels":{"0":1}})", 400, ""},
	        // Channel 1 is not in the request: its line and file stay.
	        {R"({"channels":{"0":"60 2\n150 2\n"}})", 200, ""},
	        {R"({"channels":{"0":"60 2\n","00":"60 2\n"}})", 422, ""},
	        {R"({"channels":{},"replace_settings":"yes"})", 400, ""},
	        // The phase of the whole profile: a line once minimum, kept after.
	        {R"({"channels":{},"phase":"minimum"})", 200,
	         "device /dev/pcmx.ctl\nwhat tx_dev\npart 0\nchannel 0 room.ch0.eq\n"
	         "channel 1 room.ch1.eq\nphase minimum\n"},
	        {R"({"channels":{},"phase":"sideways"})", 422, ""},
	        {R"({"channels":{},"phase":"linear"})", 200,
	         "device /dev/pcmx.ctl\nwhat tx_dev\npart 0\nchannel 0 room.ch0.eq\n"
	         "channel 1 room.ch1.eq\nphase linear\n"},
	};
	// What a save killed half-way left: removed by the next save; a name
	// of another pattern is not.
	std::string stale = dir + "/.room.profile.Ab3dE6g8", other = dir + "/.room.profile.kept";
	for (const std::string &name : {stale, other})
		close(open(name.c_str(), O_WRONLY | O_CREAT, 0600));
	{
		server s({"-d", "/dev/pcmx.ctl", path});
		ASSERT_GT(s.port, 0);
		std::string last;
		for (const save &c : saves) {
			reply r = call(s, "PUT", "/api/profile", c.body);
			EXPECT_EQ(r.status, c.status) << c.body << "\n" << r.body;
			if (!c.profile.empty())
				last = c.profile;
			EXPECT_EQ(read_file(path), last) << c.body;
		}
		EXPECT_EQ(read_file(dir + "/room.ch1.eq"), "2000 0.5\n");
		std::string got = call(s, "GET", "/api/profile", "").body;
		EXPECT_NE(got.find(R"("1":"2000 0.5")"), std::string::npos);
		EXPECT_NE(got.find(R"("phase":"linear")"), std::string::npos) << got;
		EXPECT_NE(call(s, "GET", "/api/device", "").body.find(R"("phase":"linear")"),
		          std::string::npos);
		EXPECT_TRUE(journal_writes(read_file(s.journal.path)).empty());
		EXPECT_EQ(s.stop(), 0);
	}
	EXPECT_NE(access(stale.c_str(), F_OK), 0);
	EXPECT_EQ(unlink(other.c_str()), 0);
	{
		// Another target than the profile's: said, and kept on a save.
		server s({"-d", "/dev/pcmx.ctl", "-w", "rx_dev", path});
		ASSERT_GT(s.port, 0);
		EXPECT_NE(call(s, "GET", "/api/profile", "")
		                  .body.find("the profile names what tx_dev, firtune runs with -w "
		                             "rx_dev"),
		          std::string::npos);
		std::string before = read_file(path);
		EXPECT_EQ(call(s, "PUT", "/api/profile", R"({"channels":{}})").status, 200);
		EXPECT_EQ(read_file(path), before);
	}
	{
		// A new channel's default file is one another channel uses.
		std::string shared = dir + "/shared.profile";
		for (const auto &[name, text] :
		     {std::pair<std::string, std::string>{shared, "channel 0 shared.ch1.eq\n"},
		      {dir + "/shared.ch1.eq", "100 1\n"}}) {
			int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
			ASSERT_EQ(write(fd, text.data(), text.size()),
			          static_cast<ssize_t>(text.size()));
			close(fd);
		}
		server s({"-n", "512", shared});
		ASSERT_GT(s.port, 0);
		reply saved = call(s, "PUT", "/api/profile", R"({"channels":{"1":"100 2\n"}})");
		EXPECT_EQ(saved.status, 422);
		EXPECT_NE(saved.body.find("channel 1 uses shared.ch1.eq, which channel 0 uses too"),
		          std::string::npos)
		        << saved.body;
		EXPECT_EQ(read_file(dir + "/shared.ch1.eq"), "100 1\n");
		unlink(shared.c_str());
		unlink((dir + "/shared.ch1.eq").c_str());
	}
	run_result r = run_program(FIRTUNE_BINARY, "firtune", {"--apply", path}, "", small);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "channel 0: room.ch0.eq, 512 taps, written\n"
	                 "channel 1: room.ch1.eq, 512 taps, written\n");
	std::vector<journal_write> w = journal_writes(r.journal);
	ASSERT_EQ(w.size(), 2u);
	EXPECT_EQ(w[0].taps, firload_taps("60 2\n150 2\n"));
	EXPECT_EQ(w[1].taps, firload_taps("2000 0.5\n"));
	for (const char *name : {"/room.profile", "/room.ch0.eq", "/room.ch1.eq"})
		unlink((dir + name).c_str());
	EXPECT_EQ(rmdir(folder), 0) << "a file was left behind";
}

TEST(firtune, refuses_to_start_on_what_it_cannot_serve)
{
	temp_file bad_profile("device /dev/pcmx.ctl\nchannel 0\n");
	struct start {
		std::vector<std::string> args;
		env_list env;
		int status;
		std::string message;
	} cases[] = {
	        {{"-d", "/dev/pcmx.ctl"},
	         {{"FIRLOAD_SIM_CHANNELS", "65"}},
	         70,
	         "firtune: /dev/pcmx.ctl: part 0 answers filter reads for 64 channels and more; "
	         "give "
	         "its number of channels with -c\n"},
	        {{"-d", "/dev/pcmx.ctl"},
	         {{"FIRLOAD_SIM_LENGTH", "0"}},
	         70,
	         "firtune: Invalid filter length\n"},
	        {{"-d", "/dev/pcmx.ctl"},
	         {{"FIRLOAD_SIM_FAIL", "info"}},
	         70,
	         "firtune: /dev/pcmx.ctl: Cannot read part information: Input/output error\n"},
	        {{"-d", "/dev/other.ctl"},
	         {},
	         70,
	         "firtune: /dev/other.ctl: Cannot open DSP device: No such file or directory\n"},
	        {{"-n", "512", bad_profile.path},
	         {},
	         65,
	         "firtune: " + bad_profile.path + ":2: channel 0 needs a layout file\n"},
	        {{"-d", "/dev/pcmx.ctl", "-r", "44100"},
	         {},
	         64,
	         "firtune: -d takes the rate and length from the device; drop -r and -n\n"},
	};
	for (const start &c : cases) {
		run_result r = run_program(FIRTUNE_BINARY, "firtune", c.args, "", c.env, 20);
		EXPECT_EQ(r.status, c.status) << c.message;
		EXPECT_EQ(r.err.substr(0, r.err.find("usage:")), c.message);
		EXPECT_EQ(r.out, "");
		EXPECT_TRUE(journal_writes(r.journal).empty());
	}
}

TEST(firtune, imports_through_the_importers_into_layouts_it_designs)
{
	server s({"-n", "512"});
	std::string measurement = read_file(FIRLOAD_EXAMPLES "/rew-measurement.txt");
	std::string quoted;
	for (char c : measurement)
		quoted += c == '\n'   ? std::string("\\n")
		          : c == '\r' ? std::string("\\r")
		          : c == '\t' ? std::string("\\t")
		                      : std::string(1, c);
	struct import_case {
		std::string body;
		int status;
		std::string found; // in the answer
	} cases[] = {
	        {R"({"text":"Preamp: -3 dB\nFilter 1: ON PK Fc 100 Hz Gain 3 dB Q 1\n","format":null})",
	         200, R"("notes":[)"},
	        {R"({"text":")" + quoted +
	                 R"(","format":"rew","options":{"range":[20,2000],"smooth":3}})",
	         200, R"("measurement":{"frequency_hz":[)"},
	        {R"({"text":")" + quoted + R"(","format":"rew","options":{"range":"20:2000"}})",
	         200, R"("measurement":{"frequency_hz":[)"},
	        {R"({"text":"Filter 1: ON PK Fc x Hz","format":"eqapo"})", 422, R"("line":1)"},
	        {R"({"text":"100 2\n","format":"mp3"})", 400, "format"},
	        {R"({"text":")" + quoted + R"(","format":"rew","options":{"range":[2000,20]}})",
	         422, "range"},
	        {R"({"text":")" + quoted + R"(","format":"rew","options":{"gain":1}})", 400,
	         "gain"},
	        {R"({"text":"1\u00000\u0000 \u00002\u0000","format":null})", 422, "UTF-16"},
	};
	for (const import_case &c : cases) {
		reply r = call(s, "POST", "/api/import", c.body);
		EXPECT_EQ(r.status, c.status) << c.body.substr(0, 80) << "\n" << r.body;
		EXPECT_NE(r.body.find(c.found), std::string::npos) << r.body.substr(0, 200);
		if (r.status != 200)
			continue;
		// The layout is one the designer takes.
		size_t start = r.body.find(R"("layout":)") + 9;
		size_t end = r.body.find(R"(","measurement")", start);
		ASSERT_NE(end, std::string::npos) << r.body.substr(0, 200);
		std::string layout = r.body.substr(start, end + 1 - start);
		EXPECT_EQ(call(s, "POST", "/api/design", R"({"layout":)" + layout + "}").status,
		          200);
	}
}

// The answer of a measurement once it ended (or after 30 s).
nlohmann::json measured(const server &s, int id)
{
	nlohmann::json j;
	for (int i = 0; i < 600; i++) {
		reply r = call(s, "GET", "/api/measure/" + std::to_string(id), "");
		j = nlohmann::json::parse(r.body, nullptr, false);
		if (!j.is_object() || !j.contains("state") ||
		    (j["state"] != "playing" && j["state"] != "analysing"))
			break;
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	}
	return j;
}

// The level of a measurement at the grid point nearest f.
double level_at(const nlohmann::json &m, double f)
{
	const auto &freq = m["frequency_hz"], &db = m["spl_db"];
	size_t best = 0;
	for (size_t i = 0; i < freq.size(); i++)
		if (std::abs(std::log(freq[i].get<double>() / f)) <
		    std::abs(std::log(freq[best].get<double>() / f)))
			best = i;
	return db[best].get<double>();
}

TEST(firtune, measures_a_channel_and_puts_its_filter_back)
{
	env_list paced = small;
	paced.emplace_back("FIRLOAD_SIM_DSP_PACE", "1");
	const std::string lift = R"({"channels":[0],"layout":"20 2\n20000 2\n"})";
	struct measure_case {
		const char *name;
		bool audio;               // -D /dev/dsp
		bool loaded_first;        // channel 0 holds the lift before
		std::string body;         // of the POST
		int status;               // of the POST
		int cancel_ms;            // DELETE this long after; -1: never
		const char *state;        // at the end
		const char *last_written; // channel 0's last write: lift, flat, none
		double lift_db;           // the level at 1 kHz above the flat one's
	} cases[] = {
	        {"flat, filter put back", true, true, R"({"channel":0,"seconds":2})", 202, -1,
	         "done", "lift", 0},
	        {"through the filter", true, true, R"({"channel":0,"seconds":2,"with":"loaded"})",
	         202, -1, "done", "none", 6.02},
	        {"never loaded: left flat", true, false, R"({"channel":0,"seconds":2})", 202, -1,
	         "done", "flat", 0},
	        {"cancelled, filter put back", true, true, R"({"channel":0,"seconds":5})", 202, 300,
	         "cancelled", "lift", 0},
	        {"too loud", true, true, R"({"channel":0,"level_dbfs":-2.9})", 422, -1, "", "none",
	         0},
	        {"no channel 2", true, true, R"({"channel":2})", 422, -1, "", "none", 0},
	        {"no audio device", false, true, R"({"channel":0})", 409, -1, "", "none", 0},
	};
	double flat_db = NAN;
	for (const measure_case &c : cases) {
		std::vector<std::string> args = {"-d", "/dev/pcmx.ctl"};
		if (c.audio)
			args.insert(args.end(), {"-D", "/dev/dsp"});
		server s(args, paced);
		ASSERT_GT(s.port, 0) << c.name;
		if (c.loaded_first) {
			ASSERT_EQ(call(s, "POST", "/api/load", lift).status, 200);
		}
		size_t before = journal_writes(read_file(s.journal.path)).size();
		reply r = call(s, "POST", "/api/measure", c.body);
		ASSERT_EQ(r.status, c.status) << c.name << "\n" << r.body;
		if (c.status == 202) {
			int id = nlohmann::json::parse(r.body, nullptr, false).value("id", 0);
			// While it plays: a second one and a write to its channel are
			// refused, a design is answered at once.
			EXPECT_EQ(call(s, "POST", "/api/measure", R"({"channel":1})").status, 409)
			        << c.name;
			EXPECT_EQ(call(s, "POST", "/api/load", lift).status, 409) << c.name;
			auto t0 = std::chrono::steady_clock::now();
			EXPECT_EQ(call(s, "POST", "/api/design", R"({"layout":"100 2\n"})").status,
			          200);
			EXPECT_LT(std::chrono::steady_clock::now() - t0,
			          std::chrono::milliseconds(500))
			        << c.name;
			if (c.cancel_ms >= 0) {
				std::this_thread::sleep_for(std::chrono::milliseconds(c.cancel_ms));
				reply d =
				        call(s, "DELETE", "/api/measure/" + std::to_string(id), "");
				EXPECT_EQ(d.status, 200) << d.body;
			}
			nlohmann::json m = measured(s, id);
			ASSERT_TRUE(m.is_object()) << c.name;
			EXPECT_EQ(m.value("state", ""), c.state) << c.name << "\n" << m.dump();
			if (m["state"] == "done") {
				// The flat filter of 512 taps delays by 256 samples, the
				// stand-in by 96 + 144.
				EXPECT_NEAR(m["delay_ms"].get<double>(), (256 + 240) / 48.0, 0.05);
				EXPECT_GT(m["snr_db"].get<double>(), 50) << c.name;
				EXPECT_NE(m["rew"].get<std::string>().find("Freq(Hz)"),
				          std::string::npos);
				double at = level_at(m, 1000);
				if (std::isnan(flat_db))
					flat_db = at;
				EXPECT_NEAR(at - flat_db, c.lift_db, 0.1) << c.name;
			}
		}
		std::vector<journal_write> writes = journal_writes(read_file(s.journal.path));
		std::vector<journal_write> after(writes.begin() + static_cast<long>(before),
		                                 writes.end());
		std::string last = "none";
		if (!after.empty())
			last = after.back().taps == writes.front().taps && c.loaded_first ? "lift"
			                                                                  : "flat";
		EXPECT_EQ(last, c.last_written) << c.name;
		if (!after.empty()) {
			EXPECT_EQ(after.back().channel, 0);
			EXPECT_EQ(after.front().taps.size(), 512u);
			// The flat filter of the same length played the sweep.
			EXPECT_EQ(std::count(after.front().taps.begin(), after.front().taps.end(),
			                     0.0),
			          511)
			        << c.name;
		}
		// A load of what was loaded last, while channel 1 is measured
		// through the flat filter designed for it, writes that again.
		if (c.status == 202 && c.loaded_first) {
			ASSERT_EQ(call(s, "POST", "/api/load", lift).status, 200) << c.name;
			reply other =
			        call(s, "POST", "/api/measure", R"({"channel":1,"seconds":2})");
			ASSERT_EQ(other.status, 202) << other.body;
			ASSERT_EQ(call(s, "POST", "/api/load", lift).status, 200) << c.name;
			writes = journal_writes(read_file(s.journal.path));
			auto last0 =
			        std::find_if(writes.rbegin(), writes.rend(),
			                     [](const journal_write &w) { return w.channel == 0; });
			ASSERT_NE(last0, writes.rend());
			EXPECT_EQ(last0->taps, writes.front().taps) << c.name;
			measured(s,
			         nlohmann::json::parse(other.body, nullptr, false).value("id", 0));
		}
		EXPECT_EQ(s.stop(), 0) << c.name;
	}
}

// A band list (Equalizer APO text) is designed, loaded, exported, saved and
// applied as firdesign designs it; every export is firdesign's file.
TEST(firtune, designs_band_lists_and_exports_as_firdesign_writes)
{
	char folder[] = "/tmp/firtune-test-XXXXXX";
	ASSERT_NE(mkdtemp(folder), nullptr);
	std::string dir = folder, profile = dir + "/bands.profile";
	const std::string bands = "Preamp: -4 dB\nFilter 1: ON PK Fc 1000 Hz Gain 6 dB Q 1.41\n"
	                          "Filter 2: ON LSC Fc 105 Hz Gain 3 dB Q 0.7\n";
	const std::string json_bands = "Preamp: -4 dB\\nFilter 1: ON PK Fc 1000 Hz Gain 6 dB Q "
	                               "1.41\\nFilter 2: ON LSC Fc 105 Hz Gain 3 dB Q 0.7\\n";
	temp_file source(bands);
	// firdesign's files of the same text, at the same rate and length.
	std::map<std::string, std::string> want;
	for (const char *ext : {"txt", "f32", "f64", "wav", "csv"}) {
		std::string out = dir + "/want." + ext;
		run_result r =
		        run_program(FIRDESIGN_BINARY, "firdesign",
		                    {"-q", "-n", "512", "-i", "eqapo",
		                     std::string(ext) == "csv" ? "-R" : "-T", out, source.path});
		ASSERT_EQ(r.status, 0) << r.err;
		want[ext] = read_file(out);
		unlink(out.c_str());
	}
	std::string minimum = dir + "/want.min.f64";
	ASSERT_EQ(run_program(FIRDESIGN_BINARY, "firdesign",
	                      {"-q", "-n", "512", "--phase", "minimum", "-T", minimum, source.path})
	                  .status,
	          0);
	want["min.f64"] = read_file(minimum);
	unlink(minimum.c_str());
	server s({"-d", "/dev/pcmx.ctl", profile});
	ASSERT_GT(s.port, 0);
	struct api_case {
		const char *method, *path;
		std::string body;
		int status;
		std::string answer; // the whole answer, or found in it after '~'
	} cases[] = {
	        {"POST", "/api/design", R"({"source":")" + json_bands + R"(","format":"eqapo"})",
	         200, "~\"peak_db\""},
	        {"POST", "/api/design", R"({"source":")" + json_bands + R"("})", 200,
	         "~\"peak_db\""},
	        {"POST", "/api/design", R"({"source":"Filter 1: ON PK Fc 100 Hz Gain 3 dB"})", 422,
	         "~\"line\":1"},
	        {"POST", "/api/design", R"({"source":"100 2","layout":"100 2"})", 400, "~either"},
	        {"POST", "/api/design", R"({"source":"100 2","format":"rew"})", 400, "~format"},
	        {"GET", "/api/device", "", 200, "~\"max_gain_db\":12"},
	        {"POST", "/api/export", R"({"source":")" + json_bands + R"(","what":"taps-txt"})",
	         200, want["txt"]},
	        {"POST", "/api/export", R"({"source":")" + json_bands + R"(","what":"taps-f32"})",
	         200, want["f32"]},
	        {"POST", "/api/export",
	         R"({"source":")" + json_bands + R"(","format":"eqapo","what":"taps-f64"})", 200,
	         want["f64"]},
	        {"POST", "/api/export", R"({"source":")" + json_bands + R"(","what":"taps-wav"})",
	         200, want["wav"]},
	        {"POST", "/api/export",
	         R"({"source":")" + json_bands + R"(","phase":"linear","what":"response-csv"})",
	         200, want["csv"]},
	        {"POST", "/api/export", R"({"source":")" + json_bands + R"(","what":"source"})",
	         200, bands},
	        {"POST", "/api/export", R"({"source":"100 2","what":"taps-mp3"})", 422, "~what"},
	        {"POST", "/api/export", R"({"source":"100 2","what":"source","phase":"sideways"})",
	         422, "~phase"},
	        {"PUT", "/api/profile", R"({"channels":{"0":")" + json_bands + R"("}})", 200,
	         "~bands.ch0.eq"},
	        {"PUT", "/api/profile",
	         R"({"channels":{"1":"Filter 1: ON PK Fc 99999 Hz Gain 1 dB Q 1"}})", 422,
	         "~channel 1"},
	};
	for (const api_case &c : cases) {
		reply r = call(s, c.method, c.path, c.body);
		EXPECT_EQ(r.status, c.status) << c.path << " " << c.body.substr(0, 60) << "\n"
		                              << r.body;
		if (c.answer.starts_with('~'))
			EXPECT_NE(r.body.find(c.answer.substr(1)), std::string::npos)
			        << r.body.substr(0, 200);
		else
			EXPECT_TRUE(r.body == c.answer)
			        << c.path << " " << c.body.substr(c.body.size() - 30);
	}
	EXPECT_EQ(read_file(dir + "/bands.ch0.eq"), bands);
	std::vector<double> taps;
	for (std::istringstream in(want["txt"]); in;) {
		double v = 0;
		if (in >> v)
			taps.push_back(v);
	}
	ASSERT_EQ(taps.size(), 512u);
	// Loaded and applied: the taps of firdesign -i eqapo.
	EXPECT_EQ(call(s, "POST", "/api/load",
	               R"({"channels":[1],"source":")" + json_bands + R"(","format":"eqapo"})")
	                  .status,
	          200);
	std::vector<journal_write> w = journal_writes(read_file(s.journal.path));
	ASSERT_EQ(w.size(), 1u);
	EXPECT_EQ(w[0].taps, taps);
	EXPECT_EQ(s.stop(), 0);
	run_result r = run_program(FIRTUNE_BINARY, "firtune", {"--apply", profile}, "", small);
	EXPECT_EQ(r.status, 0) << r.err;
	w = journal_writes(r.journal);
	ASSERT_EQ(w.size(), 1u);
	EXPECT_EQ(w[0].taps, taps);
	for (const char *name : {"/bands.profile", "/bands.ch0.eq"})
		unlink((dir + name).c_str());
	EXPECT_EQ(rmdir(folder), 0) << "a file was left behind";
}

} // namespace
