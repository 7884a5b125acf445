// The gate every request passes first, on its request line and headers
// alone, before any body is read: our own Host, a path without encoded
// bytes, and for /api/ the token; for a request that changes anything also
// our own Origin and a JSON body. The handlers never check these again.
#pragma once

#include "answer.h"
#include "session.h"

#include <cstddef>
#include <string_view>

// true when r may go on; else false with the answer in refused.
bool passes_gate(const tune_session &s, const http_request &r, http_answer &refused);

// Largest body of a request to path that passed the gate, in bytes:
// imports carry whole measurement files, every other request a layout or
// less.
size_t body_limit(std::string_view path);

// The answer when the body exceeds body_limit.
http_answer too_large();
