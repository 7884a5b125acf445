// The HTTP server around the request handler: 127.0.0.1 only, run by the
// caller's thread (so device requests are serialized), bounded
// connections, memory and time per connection. The gate decides on a
// request once its headers are complete, before any of its body is read;
// bodies are refused by size as they come.
#pragma once

#include "session.h"

#include <signal.h>

#include <chrono>
#include <set>

struct MHD_Daemon;

// One connection's clock: a request's headers must be complete by
// deadline, however slowly their bytes come.
struct connection_clock {
	int fd = -1;
	bool reading_headers = true;
	std::chrono::steady_clock::time_point deadline;
};

struct tune_server {
	MHD_Daemon *daemon = nullptr;
	std::set<connection_clock *> connections; // open now
};

// Starts listening on 127.0.0.1:port (0: any free port) and stores the port
// in s.port. false, after the "firtune: " message, when it cannot.
bool start_server(tune_server &server, tune_session &s, int port);

// Serves until one of the signals in stop (blocked in every thread)
// arrives, then finishes the request in progress and stops.
void serve_until(tune_server &server, const sigset_t &stop);

// Stops without serving (after a failure between start and serve_until).
void stop_server(tune_server &server);
