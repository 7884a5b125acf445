#include "summary.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace
{

// The smallest power-of-two length from 2 to longest_advised whose design
// of text stays within 1 dB of the request, or 0 when none does.
int32_t length_within_1db(const char *text, double rate, const eq_state &designed,
                          const deviation &current)
{
	eq_output silent{};
	for (int32_t n = 2; n <= longest_advised; n *= 2) {
		deviation d;
		if (n == designed.length) {
			d = current;
		} else {
			eq_state trial;
			if (eq_init(trial, rate, n) == 0)
				return 0;
			eq_guard guard{trial};
			if (eq_design(trial, text, silent) == 0)
				continue;
			d = design_deviation(trial);
		}
		if (d.any && std::fabs(d.db) <= 1.0)
			return n;
	}
	return 0;
}

__attribute__((format(printf, 2, 3))) void append(std::string &out, const char *format, ...)
{
	char line[256];
	va_list ap;
	va_start(ap, format);
	std::vsnprintf(line, sizeof line, format, ap);
	va_end(ap);
	out += line;
}

__attribute__((format(printf, 1, 2))) std::string format_line(const char *format, ...)
{
	char line[256];
	va_list ap;
	va_start(ap, format);
	std::vsnprintf(line, sizeof line, format, ap);
	va_end(ap);
	return line;
}

} // namespace

design_summary summarize(const eq_state &state, const response &r, const char *text, bool imported)
{
	design_summary s;
	int32_t n = state.length;
	s.rate = state.rate;
	s.length = n;
	s.latency = n % 2 == 0 ? n / 2 : (n - 1) / 2;
	s.latency_ms = (s.latency * 1000.0) / state.rate;
	s.bin_spacing = state.rate / n;
	for (int32_t i = 0; i < n; i++)
		s.tap_sum += std::fabs(state.time[i]);
	s.top = peak_gain(r);
	s.dev = largest_deviation(r, state.rate);

	if (s.dev.any && !(std::fabs(s.dev.db) <= 1.0)) {
		int32_t enough = length_within_1db(text, state.rate, state, s.dev);
		if (enough > 0)
			s.advice.push_back(format_line(
			        "%d taps would bring the largest deviation within 1 dB", enough));
		else
			s.advice.push_back(format_line("no length up to %d taps brings the largest "
			                               "deviation within 1 dB",
			                               longest_advised));
		if (imported)
			s.advice.push_back(
			        format_line("the source's detail near %.1f Hz is finer than "
			                    "%d taps can follow (bins every %.3f Hz)",
			                    s.dev.freq, n, s.bin_spacing));
	}
	// Below a hundredth of a dB the advice would read "0.00 dB".
	if (s.top.db >= 0.005)
		s.advice.push_back(
		        format_line("lower the source by %.2f dB to avoid clipping", s.top.db));
	return s;
}

std::string summary_text(const design_summary &s)
{
	std::string out;
	append(out, "rate: %.0f Hz\n", s.rate);
	append(out, "length: %d taps\n", s.length);
	append(out, "latency: %d samples, %.3f ms\n", s.latency, s.latency_ms);
	append(out, "bin spacing: %.3f Hz\n", s.bin_spacing);
	append(out, "peak gain: %.2f dB at %.1f Hz\n", s.top.db, s.top.freq);
	if (s.dev.any)
		append(out, "largest deviation: %.2f dB at %.1f Hz\n", s.dev.db, s.dev.freq);
	else
		out += "largest deviation: none\n";
	append(out, "sum of |taps|: %.4f\n", s.tap_sum);
	for (const std::string &a : s.advice)
		out += "advice: " + a + "\n";
	return out;
}
