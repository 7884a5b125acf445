#include "server.h"

#include "gate.h"
#include "handler.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace
{

constexpr unsigned connection_limit = 16;
constexpr size_t connection_memory = 64 << 10; // request line and headers, per connection
constexpr unsigned connection_timeout = 10;    // seconds a slow client may idle

// One request's state across the handler's calls.
struct exchange {
	std::string body;
	size_t limit = 0;
	bool answered = false;
	bool too_large = false; // over the limit: the rest of the body is dropped
};

MHD_Result send(MHD_Connection *c, const http_answer &a)
{
	MHD_Response *r = MHD_create_response_from_buffer(
	        a.body.size(), const_cast<char *>(a.body.data()), MHD_RESPMEM_MUST_COPY);
	if (r == nullptr)
		return MHD_NO;
	for (const auto &[name, value] : a.headers)
		MHD_add_response_header(r, name.c_str(), value.c_str());
	MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(a.status), r);
	MHD_destroy_response(r);
	return ok;
}

MHD_Result collect(void *cls, MHD_ValueKind, const char *key, const char *value)
{
	auto &headers = *static_cast<header_list *>(cls);
	headers.emplace_back(key != nullptr ? key : "", value != nullptr ? value : "");
	return MHD_YES;
}

// A Content-Length over limit; a missing or unreadable one is left to the
// count of bytes as they come.
bool announced_too_large(MHD_Connection *c, size_t limit)
{
	const char *length =
	        MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
	if (length == nullptr)
		return false;
	char *end = nullptr;
	errno = 0;
	unsigned long long n = std::strtoull(length, &end, 10);
	return end != length && (errno == ERANGE || n > limit);
}

MHD_Result on_request(void *cls, MHD_Connection *c, const char *url, const char *method,
                      const char *, const char *upload_data, size_t *upload_data_size, void **state)
{
	auto &s = *static_cast<tune_session *>(cls);
	auto *x = static_cast<exchange *>(*state);
	if (x == nullptr) {
		x = new (std::nothrow) exchange;
		if (x == nullptr)
			return MHD_NO;
		*state = x;
		x->limit = body_limit(url);
		if (announced_too_large(c, x->limit)) {
			x->answered = true;
			return send(c, too_large());
		}
		return MHD_YES;
	}
	if (*upload_data_size > 0) {
		size_t n = *upload_data_size;
		*upload_data_size = 0;
		if (x->answered)
			return MHD_YES;
		if (x->too_large)
			return MHD_YES; // dropped as it comes
		if (x->body.size() + n > x->limit) {
			std::string().swap(x->body);
			// The answer goes out now where the library takes it in the
			// middle of a body; else the rest is dropped and it goes out at
			// the end.
			if (send(c, too_large()) == MHD_YES)
				x->answered = true;
			else
				x->too_large = true;
			return MHD_YES;
		}
		x->body.append(upload_data, n);
		return MHD_YES;
	}
	if (x->answered)
		return MHD_YES;
	x->answered = true;
	if (x->too_large)
		return send(c, too_large());
	http_request r;
	r.method = method;
	r.path = url;
	r.body = x->body;
	MHD_get_connection_values(c, MHD_HEADER_KIND, collect, &r.headers);
	return send(c, handle_request(s, r));
}

void on_completed(void *, MHD_Connection *, void **state, MHD_RequestTerminationCode)
{
	delete static_cast<exchange *>(*state);
	*state = nullptr;
}

} // namespace

MHD_Daemon *start_server(tune_session &s, int port)
{
	// The socket is bound here, so the port is known before the server's
	// thread reads it.
	int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = htons(static_cast<uint16_t>(port));
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	int on = 1;
	socklen_t size = sizeof address;
	if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
	    bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
	    listen(listener, static_cast<int>(connection_limit)) != 0 ||
	    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
		std::fprintf(stderr, "firtune: cannot listen on 127.0.0.1:%d: %s\n", port,
		             std::strerror(errno));
		if (listener >= 0)
			close(listener);
		return nullptr;
	}
	s.port = ntohs(address.sin_port);
	MHD_Daemon *d = MHD_start_daemon(
	        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO, 0, nullptr, nullptr, on_request, &s,
	        MHD_OPTION_LISTEN_SOCKET, listener, MHD_OPTION_CONNECTION_LIMIT, connection_limit,
	        MHD_OPTION_CONNECTION_MEMORY_LIMIT, connection_memory,
	        MHD_OPTION_CONNECTION_TIMEOUT, connection_timeout, MHD_OPTION_NOTIFY_COMPLETED,
	        on_completed, nullptr, MHD_OPTION_END);
	if (d == nullptr) {
		std::fputs("firtune: cannot start the HTTP server\n", stderr);
		close(listener);
		return nullptr;
	}
	return d; // it closes the socket when it stops
}

void stop_server(MHD_Daemon *daemon)
{
	MHD_stop_daemon(daemon);
}
