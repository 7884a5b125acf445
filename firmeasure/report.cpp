#include "report.h"

#include "diag.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace
{

std::string smoothing_name(double smooth)
{
	std::string name;
	if (smooth > 0)
		name += formatted("1/%g octave", smooth);
	else
		name = "none";
	return name;
}

std::string delay_text(const sweep &s, const measurement &m)
{
	std::string text;
	text += formatted("%ld samples (%.3f ms)", m.delay,
	                  1000.0 * static_cast<double>(m.delay) / s.rate);
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
	t += formatted("* Measurement data measured by firmeasure\n");
	t += formatted("* Source: %s\n", source.what.c_str());
	t += formatted(
	        "* Format: %.3f s log swept sine, %g Hz to %g Hz, %d sweep%s at %.1f dBFS, %g Hz\n",
	        s.duration, s.f1, s.f2, o.repeat, o.repeat == 1 ? "" : "s",
	        20 * std::log10(s.amplitude), s.rate);
	t += formatted("* Dated: %s\n", date);
	t += formatted("* Smoothing: %s\n", smoothing_name(o.smooth).c_str());
	if (o.window_ms > 0)
		t += formatted("* Window: %g ms\n", o.window_ms);
	t += formatted("* Delay: %s\n", delay_text(s, m).c_str());
	t += formatted("* Signal-to-noise ratio: %.1f dB (estimated)\n", m.snr_db);
	if (source.has_sens)
		t += formatted("* Calibration: %s (Sens Factor %g dB)\n",
		               source.calibration.c_str(), source.sens_db);
	else
		t += formatted("* Calibration: %s\n", source.calibration.c_str());
	t += formatted("* SPL: dB relative to the sweep (0 dB: recorded as played)\n");
	t += formatted("* Frequency Step: 1/%d octave\n", grid_per_octave);
	t += formatted("*\n* Freq(Hz)\tSPL(dB)\tPhase(degrees)\n");
	for (size_t i = 0; i < m.freq.size(); i++)
		t += formatted("%.6f\t%.3f\t%.4f\n", m.freq[i], m.db[i], m.phase[i]);
	return t;
}

std::string summary_text(const sweep &s, const measurement &m)
{
	std::string t;
	t += formatted("delay: %s\n", delay_text(s, m).c_str());
	t += formatted("input: peak %.1f dBFS\n", m.input_peak_db);
	t += formatted("signal-to-noise ratio: %.1f dB\n", m.snr_db);
	if (m.h2 >= 0 || m.h3 >= 0) {
		t += "distortion at 1 kHz:";
		if (m.h2 >= 0)
			t += formatted(" H2 %.3f %%", m.h2);
		if (m.h3 >= 0)
			t += formatted("%s H3 %.3f %%", m.h2 >= 0 ? "," : "", m.h3);
		t += "\n";
	}
	if (m.snr_db < low_snr_db)
		t += formatted(
		        "warning: input too low (signal-to-noise ratio below %.0f dB): raise the "
		        "level or repeat\n",
		        low_snr_db);
	if (m.clipped)
		t += "warning: input clipped (full scale reached)\n";
	return t;
}
