// Runs the real firload binary under the device stand-in and collects what it
// did: exit status, standard output and error, and the stand-in's journal.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

using env_list = std::vector<std::pair<std::string, std::string>>;

struct run_result {
	int status = -1; // exit status; -1 when killed or timed out
	bool timed_out = false;
	std::string out;
	std::string err;
	std::string journal;
};

// Runs `binary` with argv[0] `argv0` the same way.
run_result run_program(const char *binary, const char *argv0, const std::vector<std::string> &args,
                       const std::string &input = "", const env_list &env = {},
                       int timeout_seconds = 60);

// args exclude argv[0], which is "firload". The input becomes standard input
// (a regular file). env adds FIRLOAD_SIM_* settings and the like.
run_result run_tool(const std::vector<std::string> &args, const std::string &input = "",
                    const env_list &env = {}, int timeout_seconds = 60);

// Journal lines of requests, without coefficient lines, with the coefficient
// address shown as "coefficients=ADDR" and descriptors as "fd=N".
std::vector<std::string> journal_requests(const std::string &journal);

// The coefficients of every filter write that loaded a filter, in order.
std::vector<std::vector<double>> journal_filters(const std::string &journal);

// Expected journal lines, in the stand-in's words.
std::string j_open(const char *path = "/dev/pcmx.ctl");
std::string j_rate(int rate);
std::string j_read(const char *target, int part, int length_answered);
std::string j_write(const char *target, int part, int channel, int length, const char *address,
                    const char *answer);
std::string j_info(const char *kind, int part, const char *answer);
std::string j_close();

// What a function prints to stderr while it runs.
std::string capture_stderr(const std::function<void()> &body);

// A temporary file holding the given bytes; removed by the destructor.
struct temp_file {
	explicit temp_file(const std::string &contents);
	~temp_file();
	temp_file(const temp_file &) = delete;
	temp_file &operator=(const temp_file &) = delete;
	std::string path;
};

std::string read_file(const std::string &path);

extern const char *const usage_text;

// What this system's getopt_long says of args (argv[0] excluded) with
// firload's option table, as firload itself would print it.
std::string getopt_complaint(const std::vector<std::string> &args);
