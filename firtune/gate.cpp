#include "gate.h"

#include <algorithm>
#include <string>
#include <vector>

namespace
{

constexpr size_t import_limit = 16 << 20;
constexpr size_t request_limit = 256 << 10;

bool same_letters(std::string_view a, std::string_view b)
{
	return a.size() == b.size() &&
	       std::equal(a.begin(), a.end(), b.begin(),
	                  [](char x, char y) { return (x | 0x20) == (y | 0x20); });
}

// The values of every header called name.
std::vector<std::string_view> header_values(const http_request &r, std::string_view name)
{
	std::vector<std::string_view> out;
	for (const auto &[key, value] : r.headers)
		if (same_letters(key, name))
			out.push_back(value);
	return out;
}

// Compares in time that depends only on the length of expected.
bool same_secret(std::string_view given, std::string_view expected)
{
	unsigned char diff = given.size() == expected.size() ? 0 : 1;
	for (size_t i = 0; i < expected.size(); i++) {
		unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
		diff |= static_cast<unsigned char>(g ^ static_cast<unsigned char>(expected[i]));
	}
	return diff == 0;
}

} // namespace

bool passes_gate(const tune_session &s, const http_request &r, http_answer &refused)
{
	// Only our own names: a page elsewhere that rebinds its name to this
	// address still sends its own name as Host.
	std::vector<std::string_view> hosts = header_values(r, "Host");
	std::string port = std::to_string(s.port);
	if (hosts.size() != 1 ||
	    (hosts[0] != "127.0.0.1:" + port && hosts[0] != "localhost:" + port)) {
		refused = refusal(421, "this server answers only to 127.0.0.1:" + port +
		                               " and localhost:" + port);
		return false;
	}
	// No name here needs an encoded byte, and a decoded NUL would cut a
	// name short ("/style.css%00.js").
	if (!r.path.starts_with("/") ||
	    r.path.find_first_of(std::string_view("%\0", 2)) != std::string_view::npos) {
		refused = refusal(404, "no such page");
		return false;
	}
	if (!r.path.starts_with("/api/"))
		return true;

	std::vector<std::string_view> auth = header_values(r, "Authorization");
	if (auth.size() != 1 || !auth[0].starts_with("Bearer ") ||
	    !same_secret(auth[0].substr(7), s.token)) {
		refused = refusal(401, "the request needs the token of the address firtune "
		                       "printed");
		refused.headers.emplace_back("WWW-Authenticate", "Bearer");
		return false;
	}
	if (r.method == "GET" || r.method == "HEAD")
		return true;
	std::vector<std::string_view> origins = header_values(r, "Origin");
	if (origins.size() != 1 || origins[0] != "http://" + std::string(hosts[0])) {
		refused = refusal(403, "a request that changes anything must come from this "
		                       "server's own page");
		return false;
	}
	std::vector<std::string_view> types = header_values(r, "Content-Type");
	std::string_view type = types.size() == 1 ? types[0] : std::string_view{};
	type = type.substr(0, type.find(';'));
	while (!type.empty() && type.back() == ' ')
		type.remove_suffix(1);
	if (!same_letters(type, "application/json")) {
		refused = refusal(415, "the request body must be application/json");
		return false;
	}
	return true;
}

size_t body_limit(std::string_view path)
{
	return path == "/api/import" ? import_limit : request_limit;
}

http_answer too_large()
{
	http_answer a = refusal(413, "the request body is too large");
	add_security_headers(a);
	return a;
}
