// The request handler: method, path, headers and body in, status, headers
// and body out. No sockets: the server glue, the tests and the fuzz target
// all call it directly.
#pragma once

#include "session.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using header_list = std::vector<std::pair<std::string, std::string>>;

struct http_request {
	std::string_view method;
	std::string_view path; // decoded, without the query
	header_list headers;   // every header as received, names in any case
	std::string_view body;
};

struct http_answer {
	int status = 200;
	header_list headers;
	std::string body;
};

// Largest request body for path, in bytes: imports carry whole measurement
// files, every other request a layout or less.
size_t body_limit(std::string_view path);

// The answer when the body exceeds body_limit, sent before it is read.
http_answer too_large();

// Answers one request.
http_answer handle_request(tune_session &s, const http_request &request);

// Every page response and every answer carries these.
void add_security_headers(http_answer &a);
