#include "handler.h"

#include "api.h"
#include "gate.h"
#include "page.h"

#include <string>

namespace
{

struct route {
	std::string_view method, path;
	http_answer (*run)(const api_call &c);
};

constexpr route routes[] = {
        {"GET", "/api/device", get_device},          {"POST", "/api/design", post_design},
        {"POST", "/api/import", post_import},        {"POST", "/api/load", post_load},
        {"POST", "/api/bypass", post_bypass},        {"POST", "/api/off", post_off},
        {"GET", "/api/profile", get_profile},        {"PUT", "/api/profile", put_profile},
        {"POST", "/api/export", post_export},        {"GET", "/api/measure", get_measuring},
        {"POST", "/api/measure", post_measure},      {"GET", "/api/measure/", get_measure},
        {"DELETE", "/api/measure/", delete_measure},
};

// A route whose path ends in '/' takes what follows it (an id).
bool matches(std::string_view route_path, std::string_view path)
{
	if (route_path.ends_with('/'))
		return path.size() > route_path.size() && path.starts_with(route_path);
	return route_path == path;
}

http_answer not_allowed(std::string allow)
{
	http_answer a = refusal(405, "method not allowed");
	a.headers.emplace_back("Allow", std::move(allow));
	return a;
}

http_answer api(tune_session &s, const http_request &r)
{
	std::string allow;
	for (const route &rt : routes) {
		if (!matches(rt.path, r.path))
			continue;
		if (rt.method == r.method)
			return rt.run(api_call{s, r});
		allow += (allow.empty() ? "" : ", ") + std::string(rt.method);
	}
	if (!allow.empty())
		return not_allowed(std::move(allow));
	return refusal(404, "no such request");
}

http_answer page(const http_request &r)
{
	if (r.method != "GET" && r.method != "HEAD")
		return not_allowed("GET, HEAD");
	std::string_view name = r.path == "/" ? "index.html" : r.path.substr(1);
	for (const page_file &f : page_files()) {
		if (f.name != name)
			continue;
		http_answer a;
		a.headers.emplace_back("Content-Type", std::string(f.type));
		a.body.assign(reinterpret_cast<const char *>(f.data), f.size);
		return a;
	}
	return refusal(404, "no such page");
}

} // namespace

http_answer handle_request(tune_session &s, const http_request &r)
{
	http_answer a;
	if (passes_gate(s, r, a))
		a = r.path.starts_with("/api/") ? api(s, r) : page(r);
	add_security_headers(a);
	return a;
}
