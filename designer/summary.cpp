#include "summary.h"

#include "diag.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace
{

// The narrowest piece of the curve within b whose ends differ by more
// than 1 dB (gains below 0.001 taken as 0.001), in Hz: 0 for a step,
// infinity when there is none. A length whose bins are wider cannot follow
// it, whatever the deviation on a few points says.
double narrowest_feature(std::span<const eq_segment> segments, band b)
{
	double narrowest = HUGE_VAL;
	for (const eq_segment &s : segments) {
		if (s.f1 < b.low || s.f0 > b.high)
			continue;
		double g0 = std::max(std::fabs(s.g0), 0.001), g1 = std::max(std::fabs(s.g1), 0.001);
		if (std::fabs(to_db(g1) - to_db(g0)) > 1.0)
			narrowest = std::min(narrowest, s.f1 - s.f0);
	}
	return narrowest;
}

// The smallest power-of-two length from 2 to longest_advised whose bins
// are no wider than the narrowest feature and whose design of text stays
// within 1 dB of the request within b, or 0 when none does.
int32_t length_within_1db(const char *text, double rate, const eq_state &designed,
                          const deviation &current, band b)
{
	double narrowest =
	        narrowest_feature(designed.segments, {b.low, std::min(b.high, rate / 2)});
	eq_output silent{};
	for (int32_t n = 2; n <= longest_advised; n *= 2) {
		if (!(rate / n <= narrowest))
			continue;
		deviation d;
		if (n == designed.length) {
			d = current;
		} else {
			eq_state trial;
			if (eq_init(trial, rate, n) == 0)
				return 0;
			eq_guard guard{trial};
			trial.phase = designed.phase;
			if (eq_design(trial, text, silent) == 0)
				continue;
			d = design_deviation(trial, b);
		}
		if (d.any && std::fabs(d.db) <= 1.0)
			return n;
	}
	return 0;
}

// A gain as the layout would hold it: the shortest form that reads back
// exactly.
std::string exact_number(double v)
{
	char text[40];
	for (int digits = 15; digits <= 17; digits++) {
		std::snprintf(text, sizeof text, "%.*g", digits, v);
		if (std::strtod(text, nullptr) == v || std::isnan(v))
			break;
	}
	return text;
}

// dB as the summary shows them, to a hundredth: no "-0.00".
double shown(double db)
{
	return std::fabs(db) < 0.005 ? 0.0 : db;
}

// A delay in ms to about two figures: 0.02, 9.8, 683.
std::string delay_text(double ms)
{
	double size = std::fabs(ms);
	int decimals = size < 1 ? 2 : size < 100 ? 1 : 0;
	if (size < 0.005)
		ms = 0;
	return formatted("%.*f", decimals, ms);
}

} // namespace

std::vector<std::string> gain_warnings(const char *text)
{
	std::vector<eq_breakpoint> points;
	eq_read_breakpoints(text, points);
	const eq_breakpoint *muting = nullptr, *inverting = nullptr;
	int mutes = 0, inverts = 0;
	for (const eq_breakpoint &p : points) {
		if (p.gain == 0) {
			muting = mutes++ == 0 ? &p : muting;
		} else if (p.gain < 0) {
			inverting = inverts++ == 0 ? &p : inverting;
		}
	}
	std::vector<std::string> out;
	if (muting != nullptr)
		out.push_back(formatted(
		        "line %d: gain 0 at %g Hz mutes the sound there%s", muting->line,
		        muting->freq,
		        mutes > 1 ? formatted(" (%d such breakpoints)", mutes).c_str() : ""));
	if (inverting != nullptr)
		out.push_back(formatted(
		        "line %d: gain %g at %g Hz inverts the polarity there%s", inverting->line,
		        inverting->gain, inverting->freq,
		        inverts > 1 ? formatted(" (%d such breakpoints)", inverts).c_str() : ""));
	if (!out.empty())
		out.push_back("layout gains are linear factors, not dB: 2 is +6 dB, 0.5 is -6 dB");
	return out;
}

std::string scale_layout(const char *text, double factor)
{
	std::vector<eq_breakpoint> points;
	eq_read_breakpoints(text, points);
	std::string out;
	size_t from = 0;
	for (const eq_breakpoint &p : points) {
		out.append(text + from, p.gain_begin - from);
		out += exact_number(p.gain * factor);
		from = p.gain_end;
	}
	out += text + from;
	return out;
}

design_summary summarize(const eq_state &state, const response &r, const char *text, bool imported)
{
	return summarize(state, r, text, imported, audio_band(state.rate));
}

design_summary summarize(const eq_state &state, const response &r, const char *text, bool imported,
                         band b)
{
	design_summary s;
	int32_t n = state.length;
	s.rate = state.rate;
	s.length = n;
	s.phase = state.phase;
	s.latency = n % 2 == 0 ? n / 2 : (n - 1) / 2;
	if (state.phase == eq_phase::minimum) {
		// The first of the largest taps.
		s.latency = 0;
		for (int32_t i = 1; i < n; i++)
			if (std::fabs(state.time[i]) > std::fabs(state.time[s.latency]))
				s.latency = i;
		double least = counted_request(state);
		double high = std::min(b.high, state.rate / 2);
		for (size_t i = 0; i < r.delay_ms.size() && i < r.freq.size(); i++) {
			double d = r.delay_ms[i];
			if (r.freq[i] < b.low || r.freq[i] > high || !(r.requested[i] >= least) ||
			    !std::isfinite(d))
				continue;
			s.delay_low_ms = s.delay_any ? std::min(s.delay_low_ms, d) : d;
			s.delay_high_ms = s.delay_any ? std::max(s.delay_high_ms, d) : d;
			s.delay_any = true;
		}
	}
	s.latency_ms = (s.latency * 1000.0) / state.rate;
	s.bin_spacing = state.rate / n;
	for (int32_t i = 0; i < n; i++)
		s.tap_sum += std::fabs(state.time[i]);
	design_figures figures = figures_of(state, r, b);
	s.top = figures.top;
	s.dev = figures.dev;
	s.warnings = gain_warnings(text);

	if (s.dev.any && !(std::fabs(s.dev.db) <= 1.0)) {
		int32_t enough = length_within_1db(text, state.rate, state, s.dev, b);
		if (enough > 0)
			s.advice.push_back(formatted(
			        "%d taps would bring the largest deviation within 1 dB", enough));
		else
			s.advice.push_back(formatted("no length up to %d taps brings the largest "
			                             "deviation within 1 dB",
			                             longest_advised));
		if (imported)
			s.advice.push_back(
			        formatted("the source's detail near %.1f Hz is finer than "
			                  "%d taps can follow (bins every %.3f Hz)",
			                  s.dev.freq, n, s.bin_spacing));
	}
	// Below a hundredth of a dB the advice would read "0.00 dB".
	if (s.top.db >= 0.005)
		s.advice.push_back(
		        formatted("lower the source by %.2f dB to avoid clipping", s.top.db));
	return s;
}

std::string summary_text(const design_summary &s)
{
	std::string out;
	for (const std::string &n : s.notes)
		out += n + "\n";
	out += formatted("rate: %.0f Hz\n", s.rate);
	out += formatted("length: %d taps\n", s.length);
	if (s.phase == eq_phase::minimum) {
		out += formatted("latency: %d samples, %.3f ms at the impulse peak\n", s.latency,
		                 s.latency_ms);
		if (s.delay_any)
			out += "group delay: " + delay_text(s.delay_low_ms) + " to " +
			       delay_text(s.delay_high_ms) + " ms\n";
	} else {
		out += formatted("latency: %d samples, %.3f ms\n", s.latency, s.latency_ms);
	}
	out += formatted("bin spacing: %.3f Hz\n", s.bin_spacing);
	out += formatted("peak gain: %.2f dB at %.1f Hz\n", shown(s.top.db), s.top.freq);
	if (s.dev.any)
		out += formatted("largest deviation: %.2f dB at %.1f Hz\n", shown(s.dev.db),
		                 s.dev.freq);
	else
		out += "largest deviation: none\n";
	out += formatted("sum of |taps|: %.4f\n", s.tap_sum);
	if (s.shifted)
		out += formatted("gain: the curve shifted by %.2f dB\n", shown(s.gain_db));
	for (const std::string &w : s.warnings)
		out += "warning: " + w + "\n";
	for (const std::string &a : s.advice)
		out += "advice: " + a + "\n";
	return out;
}
