// The fields of a JSON request body, each read by a typed getter that
// refuses with the answer to send: 400 for a wrong shape or type, 422 for
// a value out of range. An object's unknown fields are refused as a whole.
#pragma once

#include "answer.h"
#include "session.h"
#include "minphase.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

using field_names = std::initializer_list<std::string_view>;

// text as a JSON object, nested no deeper than a few levels, whose fields
// are all among allowed.
bool json_object(std::string_view text, field_names allowed, nlohmann::json &object,
                 http_answer &refused);

// Whether every field of object is among allowed; what names the object
// in the refusal ("field", "option").
bool known_fields(const nlohmann::json &object, field_names allowed, std::string_view what,
                  http_answer &refused);

// A string field that must be there.
bool string_field(const nlohmann::json &object, const char *name, std::string &value,
                  http_answer &refused);

// A true or false field; absent or null leaves value as it is.
bool optional_bool(const nlohmann::json &object, const char *name, bool &value,
                   http_answer &refused);

// A finite number, 0 or more; absent or null leaves value as it is.
bool optional_number(const nlohmann::json &object, const char *name, double &value,
                     http_answer &refused);

// A layout as firload would read it: without a byte-order mark, up to its
// first NUL, within firload's limit (422 otherwise).
bool layout_text(std::string_view given, std::string &layout, http_answer &refused);

// What a design or load request gives the designer: either "layout" (a
// layout's text) or "source" with an optional "format" ("layout" or
// "eqapo"; absent or null: detected as firdesign detects). layout receives
// the layout designed (an Equalizer APO source through the importer);
// refusals as the designer's: 422 with the line when known.
// memo keeps the last import, for the same source asked again.
bool design_input(const nlohmann::json &object, double rate, std::string &layout,
                  http_answer &refused, import_memo *memo = nullptr);

// The "phase" field: "linear" or "minimum" (422 for another string);
// absent or null leaves phase as it is.
bool optional_phase(const nlohmann::json &object, eq_phase &phase, http_answer &refused);

// The "channels" field: a non-empty array of channel numbers below count,
// each taken once, in the order given.
bool channel_list(const nlohmann::json &object, int32_t count, std::vector<int32_t> &channels,
                  http_answer &refused);
