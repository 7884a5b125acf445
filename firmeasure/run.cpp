#include "run.h"

#include "analyse.h"
#include "diag.h"
#include "live.h"
#include "miccal.h"
#include "plot.h"
#include "report.h"
#include "staged.h"
#include "unique_fd.h"
#include "wav.h"

#include <fcntl.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

int fail(int status, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	status = fail_with("firmeasure", status, format, ap);
	va_end(ap);
	return status;
}

namespace
{

constexpr size_t largest_text = 16 << 20;

const char *shown(const char *path)
{
	return path == nullptr || std::strcmp(path, "-") == 0 ? "standard output" : path;
}

// The whole of a text file. 0, or the status after the message.
int read_text(const char *path, std::string &text)
{
	unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
	if (fd.get() < 0)
		return fail(EX_NOINPUT, "cannot open %s: %s\n", path, std::strerror(errno));
	text.clear();
	char block[65536];
	for (;;) {
		ssize_t got = read(fd.get(), block, sizeof block);
		if (got < 0 && errno == EINTR)
			continue;
		if (got < 0)
			return fail(EX_NOINPUT, "cannot read %s: %s\n", path, std::strerror(errno));
		if (got == 0)
			break;
		text.append(block, static_cast<size_t>(got));
		if (text.size() > largest_text)
			return fail(EX_DATAERR, "%s: too large for a measurement\n", path);
	}
	std::string_view view = text;
	std::string why;
	if (!plain_text(view, why))
		return fail(EX_DATAERR, "%s: %s\n", path, why.c_str());
	text = std::string(view);
	return 0;
}

int refused_at(const char *path, const import_error &err)
{
	if (err.line > 0)
		return fail(EX_DATAERR, "%s:%d: %s\n", path, err.line, err.what.c_str());
	return fail(EX_DATAERR, "%s: %s\n", path, err.what.c_str());
}

// The files a run writes, resolved before anything is measured and
// committed together at the end.
struct run_outputs {
	staged_file text, ir, plot;
	bool want_ir = false, want_plot = false;
};

int resolve_outputs(const measure_settings &o, run_outputs &outs,
                    std::initializer_list<const char *> sources)
{
	std::string text_path = o.output != nullptr ? o.output : "-";
	if (int e = resolve(outs.text, text_path))
		return fail(EX_CANTCREAT, "cannot write %s: %s\n", shown(o.output),
		            std::strerror(e));
	if (o.ir != nullptr) {
		outs.want_ir = true;
		if (int e = resolve(outs.ir, o.ir))
			return fail(EX_CANTCREAT, "cannot write %s: %s\n", o.ir, std::strerror(e));
		if (same_file(outs.text, outs.ir))
			return fail(EX_USAGE, "-o and --ir name the same file\n");
	}
	if (o.plot != nullptr) {
		outs.want_plot = true;
		if (int e = resolve(outs.plot, o.plot))
			return fail(EX_CANTCREAT, "cannot write %s: %s\n", o.plot,
			            std::strerror(e));
		if (same_file(outs.plot, outs.text) ||
		    (outs.want_ir && same_file(outs.plot, outs.ir)))
			return fail(EX_USAGE, "-P names the same file as another output\n");
	}
	for (const char *src : sources) {
		if (src == nullptr)
			continue;
		if (overwrites(outs.text, src) || (outs.want_ir && overwrites(outs.ir, src)) ||
		    (outs.want_plot && overwrites(outs.plot, src)))
			return fail(EX_USAGE, "an output would write over %s, which is read\n",
			            src);
	}
	return 0;
}

int commit_all(run_outputs &outs)
{
	std::vector<staged_file *> files{&outs.text};
	if (outs.want_ir)
		files.push_back(&outs.ir);
	if (outs.want_plot)
		files.push_back(&outs.plot);
	size_t failed = 0;
	int e = commit_streams(files, {}, failed);
	if (e == 0)
		e = commit_files(files, failed);
	if (e != 0)
		return fail(EX_IOERR, "cannot write %s: %s\n",
		            failed < files.size() ? shown(files[failed]->path.c_str())
		                                  : "the summary",
		            std::strerror(e));
	return 0;
}

int written(int e, const char *path)
{
	if (e != 0)
		return fail(EX_IOERR, "cannot write %s: %s\n", shown(path), std::strerror(e));
	return 0;
}

int read_calibration(const measure_settings &o, mic_calibration &cal)
{
	if (o.mic_cal == nullptr)
		return 0;
	std::string text;
	if (int status = read_text(o.mic_cal, text))
		return status;
	import_error err;
	if (!parse_mic_calibration(text, cal, err))
		return refused_at(o.mic_cal, err);
	return 0;
}

int make(const measure_settings &o, double rate, sweep &s)
{
	sweep_request r = o.sweep;
	r.rate = rate;
	std::string why;
	if (!make_sweep(r, s, why))
		return fail(EX_USAGE, "%s\n", why.c_str());
	return 0;
}

// The magnitude over the sweep's band, and the impulse response below it.
int draw(const measure_settings &o, const sweep &s, const measurement &m,
         const measure_source &source, staged_file &file)
{
	if (int e = stage(file, o.plot))
		return written(e, o.plot);
	plot_job job;
	plot_page page{"firmeasure", source.what, 1};
	if (int e = plot_start(job, file, plot_device(extension(o.plot)), page))
		return written(e, o.plot);
	char text[96];
	plot_panel level = frequency_panel(s.f1, s.f2, "level (dB)");
	std::snprintf(text, sizeof text, o.smooth > 0 ? "measured, 1/%g octave" : "measured",
	              o.smooth);
	level.curves.push_back({m.freq, m.db, text, plot_blue});
	plot_panel impulse = time_panel(m.impulse, s.rate, "impulse", plot_blue);
	std::snprintf(text, sizeof text, "time (ms), from %.1f ms before the start",
	              1000 * static_cast<double>(m.pre) / s.rate);
	impulse.x_label = text;
	if (int e = plot_send(job, 0, level))
		return written(e, o.plot);
	if (int e = plot_send(job, 1, impulse))
		return written(e, o.plot);
	return plot_end(job, file);
}

// The analysis and everything after it: the calibration taken off, the
// outputs written and committed, the summary printed.
int deliver(const measure_settings &o, const sweep &s, const analysis_request &request,
            const mic_calibration &cal, measure_source source, run_outputs &outs, const char *what)
{
	measurement m;
	std::string why;
	switch (analyse(s, request, m, why)) {
	case analysis_result::ok: break;
	case analysis_result::refused: return fail(EX_DATAERR, "%s: %s\n", what, why.c_str());
	case analysis_result::failed: return fail(EX_SOFTWARE, "%s\n", why.c_str());
	}
	if (o.mic_cal != nullptr) {
		for (size_t i = 0; i < m.freq.size(); i++)
			m.db[i] -= curve_db(cal.curve, m.freq[i]);
		source.calibration = o.mic_cal;
		source.has_sens = cal.has_sens;
		source.sens_db = cal.sens_db;
	}
	std::string text = rew_text(o, s, m, source);
	if (int e = stage(outs.text, outs.text.path))
		return written(e, o.output);
	if (int status = written(write_text(outs.text, text), o.output))
		return status;
	if (outs.want_ir) {
		if (int e = stage(outs.ir, o.ir))
			return written(e, o.ir);
		if (int status = written(
		            write_float_wav(outs.ir, m.impulse, static_cast<int>(s.rate)), o.ir))
			return status;
	}
	if (outs.want_plot)
		if (int status = draw(o, s, m, source, outs.plot))
			return status;
	if (int status = commit_all(outs))
		return status;
	std::string summary = summary_text(s, m);
	bool to_stdout = o.output != nullptr && std::strcmp(o.output, "-") != 0;
	std::fputs(summary.c_str(), to_stdout ? stdout : stderr);
	return 0;
}

int run_sweep_file(const measure_settings &o)
{
	sweep s;
	if (int status = make(o, o.sweep.rate, s))
		return status;
	staged_file file;
	if (int e = stage(file, o.sweep_path))
		return fail(EX_CANTCREAT, "cannot write %s: %s\n", shown(o.sweep_path),
		            std::strerror(e));
	if (int status = written(write_float_wav(file, s.played, static_cast<int>(s.rate)),
	                         o.sweep_path))
		return status;
	if (int status = written(commit(file), o.sweep_path))
		return status;
	std::FILE *to = std::strcmp(o.sweep_path, "-") == 0 ? stderr : stdout;
	std::fprintf(to,
	             "sweep: %.3f s from %g Hz to %g Hz at %.1f dBFS, then %g s of silence, "
	             "%g Hz\n",
	             s.duration, s.f1, s.f2, o.sweep.level_db, tail_seconds, s.rate);
	return 0;
}

int run_recording(const measure_settings &o)
{
	run_outputs outs;
	if (int status = resolve_outputs(o, outs, {o.recording_path, o.mic_cal}))
		return status;
	mic_calibration cal;
	if (int status = read_calibration(o, cal))
		return status;
	unique_fd probe(open(o.recording_path, O_RDONLY | O_CLOEXEC));
	if (probe.get() < 0)
		return fail(EX_NOINPUT, "cannot open %s: %s\n", o.recording_path,
		            std::strerror(errno));
	probe.reset();
	wav_data wav;
	std::string why;
	if (!read_wav(o.recording_path, wav, why))
		return fail(EX_DATAERR, "%s: %s\n", o.recording_path, why.c_str());
	if (o.rate_given && wav.rate != static_cast<int>(o.sweep.rate))
		return fail(EX_DATAERR, "%s was recorded at %d Hz, not at %d Hz\n",
		            o.recording_path, wav.rate, static_cast<int>(o.sweep.rate));
	for (int c : {o.record, o.loopback})
		if (c >= wav.channels)
			return fail(EX_DATAERR, "%s has %d channel%s: there is no channel %d\n",
			            o.recording_path, wav.channels, wav.channels == 1 ? "" : "s",
			            c);
	sweep s;
	if (int status = make(o, wav.rate, s))
		return status;
	std::vector<double> rec = channel_of(wav, o.record), loop;
	if (o.loopback >= 0)
		loop = channel_of(wav, o.loopback);
	analysis_request request{rec, loop, o.window_ms, o.smooth};
	measure_source source;
	source.what = std::string("recording ") + o.recording_path + ", channel " +
	              std::to_string(o.record);
	if (o.loopback >= 0)
		source.what += ", loopback " + std::to_string(o.loopback);
	source.calibration = "none";
	return deliver(o, s, request, cal, source, outs, o.recording_path);
}

int run_live(const measure_settings &o)
{
	run_outputs outs;
	if (int status = resolve_outputs(o, outs, {o.mic_cal}))
		return status;
	mic_calibration cal;
	if (int status = read_calibration(o, cal))
		return status;
	sweep s;
	if (int status = make(o, o.sweep.rate, s))
		return status;
	std::vector<double> rec, loop;
	if (int status = record_live(o, s, rec, loop))
		return status;
	analysis_request request{rec, loop, o.window_ms, o.smooth};
	measure_source source;
	source.what = std::string(o.device) + ", play " + std::to_string(o.play) + ", record " +
	              std::to_string(o.record);
	if (o.loopback >= 0)
		source.what += ", loopback " + std::to_string(o.loopback);
	source.calibration = "none";
	return deliver(o, s, request, cal, source, outs, o.device);
}

// Power average of the magnitudes on the first file's points within the
// range all files cover.
int run_average(const measure_settings &o)
{
	run_outputs outs;
	if (int e = resolve(outs.text, o.output != nullptr ? o.output : "-"))
		return fail(EX_CANTCREAT, "cannot write %s: %s\n", shown(o.output),
		            std::strerror(e));
	std::vector<db_curve> curves;
	for (const char *path : o.inputs) {
		if (overwrites(outs.text, path))
			return fail(EX_USAGE, "an output would write over %s, which is read\n",
			            path);
		std::string text;
		if (int status = read_text(path, text))
			return status;
		db_curve c;
		import_error err;
		if (!parse_db_curve(text, 3, c, err))
			return refused_at(path, err);
		curves.push_back(std::move(c));
	}
	double lo = 0, hi = std::numeric_limits<double>::infinity();
	for (const db_curve &c : curves) {
		lo = std::max(lo, c.freq.front());
		hi = std::min(hi, c.freq.back());
	}
	std::string t = "* Measurement data averaged by firmeasure\n";
	t += "* Power average of";
	for (const char *path : o.inputs)
		t += std::string(" ") + path;
	t += "\n*\n* Freq(Hz)\tSPL(dB)\n";
	size_t rows = 0;
	for (double f : curves.front().freq) {
		if (f < lo * (1 - 1e-9) || f > hi * (1 + 1e-9))
			continue;
		double power = 0;
		for (const db_curve &c : curves)
			power += std::pow(10.0, curve_db(c, f) / 10);
		char row[64];
		std::snprintf(row, sizeof row, "%.6f\t%.3f\n", f,
		              10 * std::log10(power / static_cast<double>(curves.size())));
		t += row;
		rows++;
	}
	if (rows < 2)
		return fail(EX_DATAERR, "the measurements share no range of frequencies\n");
	if (int e = stage(outs.text, outs.text.path))
		return written(e, o.output);
	if (int status = written(write_text(outs.text, t), o.output))
		return status;
	return commit_all(outs);
}

} // namespace

int run_measure(const measure_settings &o)
{
	switch (o.mode) {
	case measure_mode::sweep_file: return run_sweep_file(o);
	case measure_mode::recording: return run_recording(o);
	case measure_mode::average: return run_average(o);
	case measure_mode::live: return run_live(o);
	}
	return EX_SOFTWARE;
}
