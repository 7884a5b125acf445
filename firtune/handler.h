// The request handler: method, path, headers and body in, status, headers
// and body out. No sockets: the server glue, the tests and the fuzz target
// all call it directly. Every request passes the gate (gate.h) first, then
// goes by the route table to its handler (api.h) or to the page.
#pragma once

#include "answer.h"
#include "session.h"

// Answers one request, with the security headers.
http_answer handle_request(tune_session &s, const http_request &request);
