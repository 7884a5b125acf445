// The HTTP server around the request handler: 127.0.0.1 only, one thread
// (so device requests are serialized), bounded connections, memory and
// time per connection, bodies refused by size before they are read whole.
#pragma once

#include "session.h"

struct MHD_Daemon;

// Starts listening on 127.0.0.1:port (0: any free port) and stores the port
// in s.port. Null, after the "firtune: " message, when it cannot.
MHD_Daemon *start_server(tune_session &s, int port);

// Finishes the request in progress and stops.
void stop_server(MHD_Daemon *daemon);
