// What firtune keeps for its whole run: the device it loads through, the
// designer with its plans, the token and the profile.
#pragma once

#include "eq.h"
#include "profile.h"
#include "requests.h"
#include "unique_fd.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Channels counted by filter reads at most.
inline constexpr int32_t counted_channels = 64;

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

	std::string token; // hex; every /api/ request carries it
	int port = 0;      // where the server listens

	std::string profile_path;               // empty: started without a profile
	profile prof;                           // as read, or as last saved
	std::map<int32_t, std::string> layouts; // the profile's layouts, by channel
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

// Designs text (cut at its first NUL) into eq.time.
design_outcome design_layout(eq_state &eq, const std::string &text);

// Writes the taps (N of them) to one channel, or the disable request when
// taps is null. "" on success, else why.
std::string write_channel(tune_session &s, int32_t channel, double *taps);

// Saves layouts (by channel) to the profile: the layout files first, then
// the profile, all staged and committed only when every one was written.
// Channels the profile had keep their files; others get
// "<profile stem>.ch<N>.eq" beside the profile. files receives the paths
// written. "" on success, else why.
std::string save_profile(tune_session &s, const std::map<int32_t, std::string> &layouts,
                         std::vector<std::string> &files);
