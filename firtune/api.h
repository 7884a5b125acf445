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
// The design design_kept left in the session written to channels, as
// /api/load writes it: its answer, or {"error"} when nothing was written
// (no device, a channel measured, over the gain guard's limit).
nlohmann::json load_kept(tune_session &s, const std::vector<int32_t> &channels);
http_answer get_profile(const api_call &c);
http_answer put_profile(const api_call &c);

// Measuring: api_measure.cpp.
http_answer get_measuring(const api_call &c); // whether measuring is possible
http_answer post_measure(const api_call &c);
http_answer get_measure(const api_call &c);    // /api/measure/ID
http_answer delete_measure(const api_call &c); // /api/measure/ID
// The audio, record and loopback lines of a save: the run's.
void save_audio_lines(const tune_session &s, profile &next);
// The "measurements" of a save ({"0": [before, after]}, REW text each):
// their files (kept names, else "<profile stem>.ch<N>-before.txt" and
// "-after.txt" beside the profile) and lines in next. false with the
// refusal for a text that is not a measurement.
bool profile_measurements(const tune_session &s, const nlohmann::json &body, profile &next,
                          std::vector<std::pair<std::string, std::string>> &files,
                          http_answer &refused);
// The profile's measurements, read from their files: {"0": [text, ...]}.
nlohmann::json measurements_json(const tune_session &s);
// false, with the 409 in refused, when one of channels is being measured.
bool channels_free(tune_session &s, const std::vector<int32_t> &channels, http_answer &refused);
