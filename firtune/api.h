// The handlers of /api/, one a request; the route table (handler.cpp)
// calls them once the gate has passed the request.
#pragma once

#include "answer.h"
#include "session.h"

// One request to a handler: the session it works on and what was asked.
struct api_call {
	tune_session &session;
	const http_request &request;
};

// Designing: api_design.cpp.
http_answer get_device(const api_call &c);
http_answer post_design(const api_call &c);
http_answer post_import(const api_call &c);
// The taps, source or response table of a design as firdesign writes them.
http_answer post_export(const api_call &c);

// Writing to the device and the profile: api_device.cpp.
http_answer post_load(const api_call &c);
http_answer post_bypass(const api_call &c);
http_answer post_off(const api_call &c);
http_answer get_profile(const api_call &c);
http_answer put_profile(const api_call &c);
