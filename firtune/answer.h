// What a request is and what answers it, and the JSON answers every part of
// the server shapes alike: the gate, the routes and the handlers.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

using header_list = std::vector<std::pair<std::string, std::string>>;

struct http_request {
	std::string_view method;
	std::string_view path; // as sent, without the query: nothing decoded
	header_list headers;   // every header as received, names in any case
	std::string_view body;
};

struct http_answer {
	int status = 200;
	header_list headers;
	std::string body;
};

// j as text; invalid UTF-8 in strings is replaced, never thrown about.
std::string dumped(const nlohmann::json &j);

// v, or null where JSON has no number for it (infinities, NaN).
nlohmann::json number_or_null(double v);

// A JSON answer.
http_answer answer(int status, const nlohmann::json &body);

// {"error": why} and, when line > 0, "line": line.
http_answer refusal(int status, std::string_view why, int line = 0);

// Every page response and every answer carries these.
void add_security_headers(http_answer &a);
