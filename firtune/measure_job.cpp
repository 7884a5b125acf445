#include "measure_job.h"

#include "duplex.h"
#include "session.h"

#include <fftw3.h>

#include <cmath>
#include <cstdio>
#include <ctime>

namespace
{

using std::chrono::steady_clock;

// How long a cancel waits for the worker to put the filter back.
constexpr auto cancel_wait = std::chrono::seconds(5);

bool running(const measure_job &job)
{
	measure_stage st = job.stage.load();
	return st == measure_stage::playing || st == measure_stage::analysing;
}

std::string rew_export(const tune_session &s, const measure_job &job)
{
	const measurement &m = job.m;
	std::string t;
	char line[256], date[64] = "";
	std::time_t now = std::time(nullptr);
	std::tm utc{};
	if (gmtime_r(&now, &utc) != nullptr)
		std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &utc);
	t += "* Measurement data measured by firtune\n";
	std::snprintf(line, sizeof line, "* Source: %s, play %d, record %d", s.audio.c_str(),
	              job.order.channel, s.record);
	t += line;
	if (s.loopback >= 0)
		t += ", loopback " + std::to_string(s.loopback);
	t += job.order.loaded ? ", through the filter as loaded\n" : ", filter flat\n";
	std::snprintf(line, sizeof line,
	              "* Format: %.3f s log swept sine, %g Hz to %g Hz, %d sweep%s at %.1f dBFS, "
	              "%g Hz\n",
	              job.s.duration, job.s.f1, job.s.f2, job.order.repeat,
	              job.order.repeat == 1 ? "" : "s", job.order.sweep.level_db, job.s.rate);
	t += line;
	t += std::string("* Dated: ") + date + "\n* Smoothing: none\n";
	std::snprintf(line, sizeof line, "* Delay: %ld samples (%.3f ms)%s\n", m.delay,
	              1000.0 * static_cast<double>(m.delay) / job.s.rate,
	              m.from_loopback ? ", against the loopback channel"
	                              : ", the converters' latency included");
	t += line;
	std::snprintf(line, sizeof line, "* Signal-to-noise ratio: %.1f dB (estimated)\n",
	              m.snr_db);
	t += line;
	t += "* Calibration: none\n* SPL: dB relative to the sweep (0 dB: recorded as played)\n";
	std::snprintf(line, sizeof line, "* Frequency Step: 1/%d octave\n", grid_per_octave);
	t += line;
	t += "*\n* Freq(Hz)\tSPL(dB)\tPhase(degrees)\n";
	for (size_t i = 0; i < m.freq.size(); i++) {
		std::snprintf(line, sizeof line, "%.6f\t%.3f\t%.4f\n", m.freq[i], m.db[i],
		              m.phase[i]);
		t += line;
	}
	return t;
}

// Puts the channel's filter back after a flat measurement.
void put_back(tune_session &s, measure_job &job)
{
	if (!job.bypassed)
		return;
	int32_t c = job.order.channel;
	std::string ch = "channel " + std::to_string(c);
	if (!job.known) {
		job.restored = ch + " was not loaded by firtune before: it is left flat";
		return;
	}
	std::string why = write_channel(s, c, job.restore.empty() ? nullptr : job.restore.data());
	if (!why.empty())
		job.restored = ch + ": cannot put its filter back: " + why;
	else
		job.restored = job.restore.empty() ? ch + ": its filter is switched off again"
		                                   : ch + ": its filter is back";
}

void finish(measure_job &job, measure_stage st, std::string error = "")
{
	job.error = std::move(error);
	job.stage.store(st);
}

void run(tune_session &s, std::shared_ptr<measure_job> held)
{
	measure_job &job = *held;
	int32_t c = job.order.channel;
	if (job.bypassed) {
		std::string why = write_channel(s, c, job.flat.data());
		if (!why.empty()) {
			// Nothing was changed: nothing to put back.
			job.bypassed = false;
			return finish(job, measure_stage::failed,
			              "cannot make channel " + std::to_string(c) + " flat: " + why);
		}
	}
	duplex_request request;
	request.device = s.audio.c_str();
	request.play = c;
	request.record = s.record;
	request.loopback = s.loopback;
	request.repeat = job.order.repeat;
	request.stop = &job.stop;
	std::vector<double> rec, loop;
	std::string why;
	duplex_result played = play_and_record(request, job.s, rec, loop, why);
	put_back(s, job);
	if (played == duplex_result::stopped)
		return finish(job, measure_stage::cancelled, why);
	if (played != duplex_result::ok)
		return finish(job, measure_stage::failed, why);

	job.stage.store(measure_stage::analysing);
	analysis_request a{rec, loop, 0, 0};
	switch (analyse(job.s, a, job.m, why)) {
	case analysis_result::ok: break;
	case analysis_result::refused:
	case analysis_result::failed: return finish(job, measure_stage::failed, why);
	}
	if (job.m.snr_db < low_snr_db) {
		char text[128];
		std::snprintf(text, sizeof text,
		              "input too low (signal-to-noise ratio below %.0f dB): raise the "
		              "level or repeat",
		              low_snr_db);
		job.notes.emplace_back(text);
	}
	if (job.m.clipped)
		job.notes.emplace_back("input clipped (full scale reached)");
	if (!job.m.from_loopback)
		job.notes.emplace_back("the delay includes the converters' latency (no loopback "
		                       "channel)");
	job.rew = rew_export(s, job);
	finish(job, measure_stage::done);
}

} // namespace

measure_room::~measure_room()
{
	for (auto &[id, job] : jobs)
		job->stop.store(true);
	if (worker.joinable())
		worker.join();
}

void prepare_measuring(tune_session &s)
{
	fftw_make_planner_thread_safe();
	s.measuring = std::make_shared<measure_room>();
}

int start_measure(tune_session &s, const measure_order &o, std::shared_ptr<measure_job> &job,
                  std::string &why)
{
	measure_room &room = *s.measuring;
	std::lock_guard hold(room.lock);
	for (auto &[id, other] : room.jobs)
		if (running(*other)) {
			why = "channel " + std::to_string(other->order.channel) +
			      " is being measured: one measurement at a time";
			return 409;
		}
	auto made = std::make_shared<measure_job>();
	made->order = o;
	made->order.sweep.rate = s.rate;
	if (!make_sweep(made->order.sweep, made->s, why))
		return 422;
	if (!o.loaded) {
		forget_kept(s);
		design_outcome d = design_layout(s.eq, "", s.phase);
		if (!d.ok) {
			why = d.error;
			return 500;
		}
		if (std::string over = gain_refusal(s.eq, s.max_gain_db); !over.empty()) {
			why = over;
			return 422;
		}
		made->flat.assign(s.eq.time, s.eq.time + s.length);
		made->bypassed = true;
		std::lock_guard device(s.device_lock);
		auto it = s.written.find(o.channel);
		made->known = it != s.written.end();
		if (made->known)
			made->restore = it->second;
	}
	if (room.worker.joinable())
		room.worker.join(); // the last one has ended: its thread is on its way out
	made->id = room.next_id++;
	made->started = steady_clock::now();
	room.jobs[made->id] = made;
	while (room.jobs.size() > kept_measurements)
		room.jobs.erase(room.jobs.begin());
	room.worker = std::thread(run, std::ref(s), made);
	job = made;
	return 0;
}

std::shared_ptr<measure_job> find_measure(tune_session &s, int id)
{
	std::lock_guard hold(s.measuring->lock);
	auto it = s.measuring->jobs.find(id);
	return it == s.measuring->jobs.end() ? nullptr : it->second;
}

bool channel_measured(tune_session &s, int32_t channel)
{
	if (!s.measuring)
		return false;
	std::lock_guard hold(s.measuring->lock);
	for (auto &[id, job] : s.measuring->jobs)
		if (job->order.channel == channel && running(*job))
			return true;
	return false;
}

void cancel_measure(measure_job &job)
{
	job.stop.store(true);
	auto until = steady_clock::now() + cancel_wait;
	while (running(job) && steady_clock::now() < until)
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
}
