// Measurements made by firtune: the sweep played on one output channel
// through the audio device, in a thread of its own, with the channel's
// filter made flat for it (or left as loaded) and put back afterwards
// whatever happens.
#pragma once

#include "analyse.h"
#include "sweep.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct tune_session;

struct measure_order {
	int32_t channel = 0;
	sweep_request sweep; // the rate is the device's
	int repeat = 1;
	bool loaded = false; // measure through the filter as loaded; else flat
};

inline constexpr int largest_measure_repeat = 16;

enum class measure_stage { playing, analysing, done, failed, cancelled };

// One measurement. The worker writes the fields below stage before it
// sets stage to done, failed or cancelled; readers look at them only
// after they saw that.
struct measure_job {
	int id = 0;
	measure_order order;
	sweep s;
	std::atomic<bool> stop{false};
	std::atomic<measure_stage> stage{measure_stage::playing};
	std::chrono::steady_clock::time_point started;

	// What goes back on the channel: its taps as this run wrote them,
	// empty for the filter switched off; known false when this run never
	// wrote the channel (the flat filter then stays).
	bool bypassed = false, known = false;
	std::vector<double> flat, restore;

	measurement m;
	std::string error;              // failed or cancelled: why
	std::string restored;           // what the channel holds afterwards
	std::vector<std::string> notes; // the warnings of the measurement
	std::string rew;                // the result as REW's text export
};

// The measurements of a run: at most one playing, the last few kept.
struct measure_room {
	std::mutex lock;
	std::map<int, std::shared_ptr<measure_job>> jobs;
	std::thread worker;
	int next_id = 1;

	measure_room() = default;
	measure_room(const measure_room &) = delete;
	measure_room &operator=(const measure_room &) = delete;
	~measure_room(); // stops a measurement playing and waits for its restore
};

// Measurements kept for GET after they ended.
inline constexpr size_t kept_measurements = 8;

// Makes FFTW's planner safe for the measurement's thread and the
// designer's together, and the room of measurements. Once, before serving.
void prepare_measuring(tune_session &s);

// Starts o in its own thread. 0 with job set; else the HTTP status (409
// while another plays, 422 for a sweep that cannot be made) and why.
int start_measure(tune_session &s, const measure_order &o, std::shared_ptr<measure_job> &job,
                  std::string &why);

// The job of id, or null.
std::shared_ptr<measure_job> find_measure(tune_session &s, int id);

// Whether channel is being measured now.
bool channel_measured(tune_session &s, int32_t channel);

// Sets the job's stop and waits (bounded) until its filter is back.
void cancel_measure(measure_job &job);
