#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace
{

__attribute__((format(printf, 2, 3))) void add(std::string &to, const char *format, ...)
{
	char line[512];
	va_list ap;
	va_start(ap, format);
	int n = std::vsnprintf(line, sizeof line, format, ap);
	va_end(ap);
	if (n > 0)
		to.append(line, std::min(static_cast<size_t>(n), sizeof line - 1));
}

std::string smoothing_name(double smooth)
{
	std::string name;
	if (smooth > 0)
		add(name, "1/%g octave", smooth);
	else
		name = "none";
	return name;
}

std::string delay_text(const sweep &s, const measurement &m)
{
	std::string text;
	add(text, "%ld samples (%.3f ms)", m.delay, 1000.0 * static_cast<double>(m.delay) / s.rate);
	text += m.from_loopback ? ", against the loopback channel"
	                        : ", the converters' latency included";
	return text;
}

} // namespace

std::string rew_text(const measure_settings &o, const sweep &s, const measurement &m,
                     const measure_source &source)
{
	std::string t;
	char date[64] = "";
	std::time_t now = std::time(nullptr);
	std::tm utc{};
	if (gmtime_r(&now, &utc) != nullptr)
		std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &utc);
	add(t, "* Measurement data measured by firmeasure\n");
	add(t, "* Source: %s\n", source.what.c_str());
	add(t, "* Format: %.3f s log swept sine, %g Hz to %g Hz, %d sweep%s at %.1f dBFS, %g Hz\n",
	    s.duration, s.f1, s.f2, o.repeat, o.repeat == 1 ? "" : "s",
	    20 * std::log10(s.amplitude), s.rate);
	add(t, "* Dated: %s\n", date);
	add(t, "* Smoothing: %s\n", smoothing_name(o.smooth).c_str());
	if (o.window_ms > 0)
		add(t, "* Window: %g ms\n", o.window_ms);
	add(t, "* Delay: %s\n", delay_text(s, m).c_str());
	add(t, "* Signal-to-noise ratio: %.1f dB (estimated)\n", m.snr_db);
	if (source.has_sens)
		add(t, "* Calibration: %s (Sens Factor %g dB)\n", source.calibration.c_str(),
		    source.sens_db);
	else
		add(t, "* Calibration: %s\n", source.calibration.c_str());
	add(t, "* SPL: dB relative to the sweep (0 dB: recorded as played)\n");
	add(t, "* Frequency Step: 1/%d octave\n", grid_per_octave);
	add(t, "*\n* Freq(Hz)\tSPL(dB)\tPhase(degrees)\n");
	for (size_t i = 0; i < m.freq.size(); i++)
		add(t, "%.6f\t%.3f\t%.4f\n", m.freq[i], m.db[i], m.phase[i]);
	return t;
}

std::string summary_text(const sweep &s, const measurement &m)
{
	std::string t;
	add(t, "delay: %s\n", delay_text(s, m).c_str());
	add(t, "input: peak %.1f dBFS\n", m.input_peak_db);
	add(t, "signal-to-noise ratio: %.1f dB\n", m.snr_db);
	if (m.h2 >= 0 || m.h3 >= 0) {
		t += "distortion at 1 kHz:";
		if (m.h2 >= 0)
			add(t, " H2 %.3f %%", m.h2);
		if (m.h3 >= 0)
			add(t, "%s H3 %.3f %%", m.h2 >= 0 ? "," : "", m.h3);
		t += "\n";
	}
	if (m.snr_db < low_snr_db)
		add(t,
		    "warning: input too low (signal-to-noise ratio below %.0f dB): raise the "
		    "level or repeat\n",
		    low_snr_db);
	if (m.clipped)
		t += "warning: input clipped (full scale reached)\n";
	return t;
}
