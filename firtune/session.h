// What firtune keeps for its whole run: the device it loads through, the
// designer with its plans, the token and the profile.
#pragma once

#include "eq.h"
#include "import.h"
#include "profile.h"
#include "requests.h"
#include "unique_fd.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct measure_room;   // measure_job.h
struct response;       // response.h
struct design_summary; // summary.h

// Channels counted by filter reads at most.
inline constexpr int32_t counted_channels = 64;

// Highest true peak gain of a design written to a channel, in dB, unless
// --max-gain or the profile's max-gain line says otherwise.
inline constexpr double default_max_gain = 12;

// The last source an importer made into a layout: a band list dragged on
// the page is designed and then loaded, the same text twice.
struct import_memo {
	std::string source;
	input_format format = input_format::layout;
	double rate = 0;
	std::string layout;
};

struct tune_session {
	// The device; has_device false: design only.
	bool has_device = false;
	std::string path;
	const eq_target *target = &default_target;
	int32_t part = 0;
	std::string name; // the part's, from the part-information request
	unique_fd device;
	int32_t rate = 48000, length = 4096, channels = 2;

	eq_state eq; // planned once, used by every design
	// The phase of every design, for the whole profile (channels of two
	// phases would be misaligned): the profile's phase line, or the last
	// load or bypass that named one.
	eq_phase phase = eq_phase::linear;
	double max_gain_db = default_max_gain; // the gain guard's limit
	import_memo memo;                      // the last import of a source
	// What eq holds now, when design_kept designed it: the phase's name, a
	// newline and the layout; empty when unknown.
	std::string kept;
	// That design's response on the grid and its summary, once a request
	// worked them out: a design shown and then loaded needs them twice.
	std::shared_ptr<const response> kept_response;
	std::shared_ptr<const design_summary> kept_summary;

	std::string token; // hex; every /api/ request carries it
	int port = 0;      // where the server listens

	std::string profile_path;               // empty: started without a profile
	std::string real_profile;               // its real path: the layouts are beside it
	profile prof;                           // as read, or as last saved
	std::map<int32_t, std::string> layouts; // the profile's layouts, by channel

	// What this run wrote to each channel, so that a measurement can put
	// it back: the taps, or empty for the filter switched off.
	std::map<int32_t, std::vector<double>> written;
	std::mutex device_lock; // a measurement writes from its own thread

	// Measuring: the audio device (empty: none), its channels, and the
	// measurement running or done.
	std::string audio;
	int32_t record = 0, loopback = -1;
	std::shared_ptr<measure_room> measuring;
};

// Opens path read-write and learns the rate, the length and the part's name
// and channel count (stated, or counted by filter reads). 0 on success, else
// the exit status after the "firtune: " message.
int open_device(tune_session &s, const char *path, const eq_target &target, int32_t part,
                int32_t channels);

// Makes the designer's plans for s.rate and s.length. 0 or the exit status.
int plan_designer(tune_session &s);

// What designing a layout gave.
struct design_outcome {
	bool ok = false;
	std::string error; // the designer's message, without newline
	int line = 0;      // the line of the breakpoint that failed; 0: unknown
};

// Designs text (cut at its first NUL) into eq.time, with phase.
design_outcome design_layout(eq_state &eq, const std::string &text,
                             eq_phase phase = eq_phase::linear);

// "linear" or "minimum".
const char *phase_name(eq_phase phase);

// The phase a profile's phase line names (absent: linear).
eq_phase profile_phase(const profile &p);

// Designs layout with phase into s.eq, unless s.eq holds that design
// already (the page designs what Live then loads). Every other design into
// s.eq clears s.kept.
design_outcome design_kept(tune_session &s, const std::string &layout, eq_phase phase);

// Before any other design into s.eq: what design_kept kept is gone.
void forget_kept(tune_session &s);

// The response (design_response) and the summary (summarize, not
// imported) of the design design_kept left in s.eq, worked out once.
const response &kept_response(tune_session &s);
const design_summary &kept_summary(tune_session &s);

// A channel's source made into the layout the designer reads, as firdesign
// reads its input: a layout as it is (up to its first NUL), other formats
// through the importer with its default options (Equalizer APO band lists
// among them). o tells why when it cannot be.
bool source_layout(std::string_view text, input_format format, double rate, std::string &layout,
                   design_outcome &o, import_memo *memo = nullptr);

// The same, with the format detected as firdesign detects it.
bool source_layout(std::string_view text, double rate, std::string &layout, design_outcome &o,
                   import_memo *memo = nullptr);

// Designs a channel's source (format detected) into eq.time, with phase.
design_outcome design_source(eq_state &eq, std::string_view text,
                             eq_phase phase = eq_phase::linear);

// The design now in eq checked against the gain guard: "" when its true
// peak gain (the summary's figure) is within limit_db, else
// "peak gain +55.2 dB exceeds the limit of +12 dB".
std::string gain_refusal(const eq_state &eq, double limit_db);

// The same for the design design_kept left in s.eq, by its summary's
// peak gain.
std::string kept_gain_refusal(tune_session &s);

// Writes the taps (N of them) to one channel, or the disable request when
// taps is null. "" on success, else why.
std::string write_channel(tune_session &s, int32_t channel, double *taps);

// What the profile's device, what and part lines say that s's device does
// not, one sentence each; empty when they agree or the profile names no
// device.
std::vector<std::string> setting_differences(const tune_session &s);

// The profile a save of layouts (by channel) writes: channels of the
// profile that layouts lacks keep their lines as they are; channels the
// profile had keep their file names; others get "<profile stem>.ch<N>.eq"
// beside the profile. The device, what and part lines become s's device's
// (the device as an absolute path) where the profile has none or they
// agree, or with replace_settings; else they stay. "" on success, else
// why (two channels that would share one file).
std::string profile_to_save(const tune_session &s, const std::map<int32_t, std::string> &layouts,
                            bool replace_settings, profile &next);

// Saves layouts (by channel, each a channel of next) and then next: all
// staged and committed only when every one was written. Temporary files
// that an earlier save left beside them when it ended half-way are
// removed first. files receives the paths written. "" on success, else
// why.
// extra: more files (path, text) staged and committed with them.
std::string save_profile(tune_session &s, profile next,
                         const std::map<int32_t, std::string> &layouts,
                         std::vector<std::string> &files,
                         const std::vector<std::pair<std::string, std::string>> &extra = {});
