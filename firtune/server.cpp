#include "server.h"

#include "gate.h"
#include "handler.h"
#include "text.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

namespace
{

using std::chrono::steady_clock;

// Enough for the page's own connections while many others wait.
constexpr unsigned connection_limit = 256;
constexpr size_t connection_memory = 64 << 10; // request line and headers, per connection
constexpr unsigned idle_timeout = 10;          // seconds a connection may idle
// The whole of a request's line and headers, however slowly they come.
constexpr auto header_time = std::chrono::seconds(5);
// Between requests on a connection kept alive, the idle time instead.
constexpr auto between_requests = std::chrono::seconds(idle_timeout);
// How often the deadlines and the stop signals are looked at.
constexpr int32_t tick_ms = 200;

// One request's state across the handler's calls.
struct exchange {
	std::string target; // the request target as sent: nothing decoded
	std::string body;
	size_t received = 0; // bytes of the body so far
	size_t limit = 0;
	bool headers_seen = false;
	bool answered = false;
	bool failed = false; // something failed inside: the answer is 500
};

MHD_Result send_failure(MHD_Connection *c);

MHD_Result send(MHD_Connection *c, const http_answer &a)
{
	MHD_Response *r = MHD_create_response_from_buffer(
	        a.body.size(), const_cast<char *>(a.body.data()), MHD_RESPMEM_MUST_COPY);
	if (r == nullptr)
		return send_failure(c);
	for (const auto &[name, value] : a.headers)
		MHD_add_response_header(r, name.c_str(), value.c_str());
	MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(a.status), r);
	MHD_destroy_response(r);
	return ok;
}

// The answer to a request that failed inside (memory ran out, say), made
// without allocating anything of ours.
MHD_Result send_failure(MHD_Connection *c)
{
	static const char body[] = "{\"error\":\"firtune could not answer this request\"}\n";
	MHD_Response *r = MHD_create_response_from_buffer(sizeof body - 1, const_cast<char *>(body),
	                                                  MHD_RESPMEM_PERSISTENT);
	if (r == nullptr)
		return MHD_NO;
	MHD_add_response_header(r, "Content-Type", "application/json");
	MHD_add_response_header(r, "Content-Security-Policy",
	                        "default-src 'self'; frame-ancestors 'none'");
	MHD_add_response_header(r, "X-Frame-Options", "DENY");
	MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
	MHD_add_response_header(r, "Cache-Control", "no-store");
	MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
	MHD_add_response_header(r, "Connection", "close");
	MHD_Result ok = MHD_queue_response(c, 500, r);
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
	std::string_view digits = length;
	long long n = 0;
	if (whole_number(digits, 0, LLONG_MAX, n))
		return static_cast<unsigned long long>(n) > limit;
	// Digits beyond the largest number are too large too.
	return !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
}

connection_clock *clock_of(MHD_Connection *c)
{
	const MHD_ConnectionInfo *info =
	        MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
	return info != nullptr ? static_cast<connection_clock *>(info->socket_context) : nullptr;
}

// The request line has come: its target, kept for the handler.
void *on_target(void *, const char *uri, MHD_Connection *)
{
	auto *x = new (std::nothrow) exchange;
	if (x != nullptr && uri != nullptr) {
		try {
			x->target = uri;
		} catch (...) {
			delete x;
			return nullptr;
		}
	}
	return x;
}

// The request as the handler takes it, but for the body.
http_request request_of(MHD_Connection *c, const exchange &x, const char *method)
{
	http_request r;
	r.method = method;
	std::string_view target = x.target;
	r.path = target.substr(0, target.find('?'));
	MHD_get_connection_values(c, MHD_HEADER_KIND, collect, &r.headers);
	return r;
}

// Headers complete: the gate, then the announced size, before any body.
MHD_Result on_headers(tune_session &s, MHD_Connection *c, exchange &x, const char *method)
{
	x.headers_seen = true;
	if (connection_clock *clock = clock_of(c))
		clock->reading_headers = false;
	http_request r = request_of(c, x, method);
	http_answer refused;
	if (!passes_gate(s, r, refused)) {
		add_security_headers(refused);
		x.answered = true;
		return send(c, refused);
	}
	x.limit = body_limit(r.path);
	if (announced_too_large(c, x.limit)) {
		x.answered = true;
		return send(c, too_large());
	}
	return MHD_YES;
}

MHD_Result on_request_unguarded(tune_session &s, MHD_Connection *c, const char *method,
                                const char *upload_data, size_t *upload_data_size, exchange &x)
{
	if (!x.headers_seen)
		return on_headers(s, c, x, method);
	if (*upload_data_size > 0) {
		size_t n = *upload_data_size;
		*upload_data_size = 0;
		if (x.answered)
			return MHD_YES;
		if (n > x.limit - x.received) {
			// Cut off here: the rest is never read, the connection
			// closes.
			std::string().swap(x.body);
			return MHD_NO;
		}
		x.received += n;
		if (!x.failed)
			x.body.append(upload_data, n);
		return MHD_YES;
	}
	if (x.answered)
		return MHD_YES;
	if (x.failed) {
		x.answered = true;
		return send_failure(c);
	}
	http_request r = request_of(c, x, method);
	r.body = x.body;
	http_answer a = handle_request(s, r);
	x.answered = true;
	return send(c, a);
}

MHD_Result on_request(void *cls, MHD_Connection *c, const char *, const char *method, const char *,
                      const char *upload_data, size_t *upload_data_size, void **state)
{
	auto &s = *static_cast<tune_session *>(cls);
	auto *x = static_cast<exchange *>(*state);
	if (x == nullptr)
		return MHD_NO;
	// Whatever fails inside a request (memory, say) answers that request
	// alone; the server keeps serving.
	bool receiving = *upload_data_size > 0;
	try {
		return on_request_unguarded(s, c, method, upload_data, upload_data_size, *x);
	} catch (...) {
		std::string().swap(x->body);
		if (x->answered)
			return MHD_NO;
		if (receiving && x->headers_seen) {
			// The library takes no answer in the middle of a body: the
			// rest is counted and dropped, and the answer goes out at
			// its end.
			*upload_data_size = 0;
			x->failed = true;
			return MHD_YES;
		}
		x->answered = true;
		return send_failure(c);
	}
}

void on_completed(void *, MHD_Connection *c, void **state, MHD_RequestTerminationCode)
{
	delete static_cast<exchange *>(*state);
	*state = nullptr;
	if (connection_clock *clock = clock_of(c)) {
		clock->reading_headers = true;
		clock->deadline = steady_clock::now() + between_requests;
	}
}

void on_connection(void *cls, MHD_Connection *c, void **socket_context,
                   MHD_ConnectionNotificationCode code)
{
	auto &server = *static_cast<tune_server *>(cls);
	if (code == MHD_CONNECTION_NOTIFY_STARTED) {
		auto *clock = new (std::nothrow) connection_clock;
		if (clock == nullptr)
			return;
		const MHD_ConnectionInfo *info =
		        MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
		clock->fd = info != nullptr ? info->connect_fd : -1;
		clock->deadline = steady_clock::now() + header_time;
		try {
			server.connections.insert(clock);
		} catch (...) {
			delete clock;
			return;
		}
		*socket_context = clock;
	} else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
		auto *clock = static_cast<connection_clock *>(*socket_context);
		server.connections.erase(clock);
		delete clock;
		*socket_context = nullptr;
	}
}

// Ends every connection whose headers are overdue: the library sees it
// closed and lets it go. Runs between the library's turns, in the same
// thread, so no descriptor here has been closed and reused.
void close_overdue(tune_server &server)
{
	steady_clock::time_point now = steady_clock::now();
	for (connection_clock *clock : server.connections)
		if (clock->reading_headers && now > clock->deadline && clock->fd >= 0) {
			shutdown(clock->fd, SHUT_RDWR);
			clock->fd = -1;
		}
}

} // namespace

bool start_server(tune_server &server, tune_session &s, int port)
{
	// The socket is bound here, so the port is known at once.
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
		return false;
	}
	s.port = ntohs(address.sin_port);
	server.daemon = MHD_start_daemon(
	        MHD_USE_AUTO, 0, nullptr, nullptr, on_request, &s, MHD_OPTION_LISTEN_SOCKET,
	        listener, MHD_OPTION_CONNECTION_LIMIT, connection_limit,
	        MHD_OPTION_CONNECTION_MEMORY_LIMIT, connection_memory,
	        MHD_OPTION_CONNECTION_TIMEOUT, idle_timeout, MHD_OPTION_URI_LOG_CALLBACK, on_target,
	        nullptr, MHD_OPTION_NOTIFY_COMPLETED, on_completed, nullptr,
	        MHD_OPTION_NOTIFY_CONNECTION, on_connection, &server, MHD_OPTION_END);
	if (server.daemon == nullptr) {
		std::fputs("firtune: cannot start the HTTP server\n", stderr);
		close(listener);
		return false;
	}
	return true; // the library closes the socket when it stops
}

void serve_until(tune_server &server, const sigset_t &stop)
{
	const timespec now{0, 0};
	while (sigtimedwait(&stop, nullptr, &now) < 0) {
		MHD_run_wait(server.daemon, tick_ms);
		close_overdue(server);
	}
	stop_server(server);
}

void stop_server(tune_server &server)
{
	if (server.daemon != nullptr)
		MHD_stop_daemon(server.daemon);
	server.daemon = nullptr;
}
