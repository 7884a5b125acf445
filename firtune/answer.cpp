#include "answer.h"

#include <cmath>

using nlohmann::json;

std::string dumped(const json &j)
{
	return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

json number_or_null(double v)
{
	return std::isfinite(v) ? json(v) : json(nullptr);
}

http_answer answer(int status, const json &body)
{
	http_answer a;
	a.status = status;
	a.headers.emplace_back("Content-Type", "application/json");
	a.body = dumped(body) + "\n";
	return a;
}

http_answer refusal(int status, std::string_view why, int line)
{
	json body = json::object();
	body["error"] = why;
	if (line > 0)
		body["line"] = line;
	return answer(status, body);
}

void add_security_headers(http_answer &a)
{
	a.headers.emplace_back("Content-Security-Policy",
	                       "default-src 'self'; frame-ancestors 'none'");
	a.headers.emplace_back("X-Frame-Options", "DENY");
	a.headers.emplace_back("X-Content-Type-Options", "nosniff");
	a.headers.emplace_back("Cache-Control", "no-store");
	a.headers.emplace_back("Referrer-Policy", "no-referrer");
}
