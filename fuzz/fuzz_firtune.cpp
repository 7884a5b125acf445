// libFuzzer target: firtune's request handler, without sockets or device.
// The first byte picks the path (or, with its high bit, takes the path from
// the first line of the data); the second which of the Host, token, Origin
// and type headers are right; the rest is the body. Every answer must be a
// known status with the security headers, and a JSON body that parses.
#include "handler.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

tune_session &session()
{
	static tune_session *s = [] {
		auto *made = new tune_session;
		made->rate = 48000;
		made->length = 64;
		made->token = std::string(64, 'a');
		made->port = 8080;
		if (eq_init(made->eq, made->rate, made->length) == 0)
			std::abort();
		return made;
	}();
	return *s;
}

bool has(const http_answer &a, const char *name)
{
	for (const auto &[key, value] : a.headers)
		if (key == name)
			return true;
	return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	static const char *const paths[] = {
	        "/api/design", "/api/import",  "/api/load",   "/api/bypass",
	        "/api/off",    "/api/profile", "/api/device", "/"};
	static const char *const methods[] = {"POST", "GET", "PUT", "DELETE"};
	std::string rest(reinterpret_cast<const char *>(data + 2), size - 2);
	std::string path;
	if (data[0] & 0x80) {
		size_t end = rest.find('\n');
		path = rest.substr(0, end);
		rest = end == std::string::npos ? "" : rest.substr(end + 1);
	} else {
		path = paths[data[0] % 8];
	}
	uint8_t flags = data[1];
	http_request r;
	r.method = methods[(data[0] >> 4) & 3];
	r.path = path;
	r.body = rest;
	r.headers.emplace_back("Host", flags & 1 ? "127.0.0.1:8080" : "evil:8080");
	if (flags & 2)
		r.headers.emplace_back("authorization", "Bearer " + std::string(64, 'a'));
	r.headers.emplace_back("Origin", flags & 4 ? "http://127.0.0.1:8080" : "null");
	r.headers.emplace_back("content-type", flags & 8 ? "application/json" : "text/plain");

	http_answer a = handle_request(session(), r);
	static const int known[] = {200, 400, 401, 403, 404, 405, 409, 415, 421, 422};
	bool ok = false;
	for (int k : known)
		ok = ok || a.status == k;
	if (!ok || !has(a, "Content-Security-Policy") || !has(a, "X-Content-Type-Options")) {
		std::fprintf(stderr, "answer %d without its headers\n", a.status);
		std::abort();
	}
	if (a.status != 200 || r.path.starts_with("/api/")) {
		nlohmann::json j = nlohmann::json::parse(a.body, nullptr, false);
		if (j.is_discarded()) {
			std::fprintf(stderr, "answer %d is not JSON: %s\n", a.status,
			             a.body.c_str());
			std::abort();
		}
	}
	return 0;
}
