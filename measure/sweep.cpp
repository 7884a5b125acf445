#include "sweep.h"

#include <cmath>
#include <numbers>

namespace
{

double hann_edge(double x) // 0 at x = 0, 1 at x = 1
{
	return 0.5 - 0.5 * std::cos(std::numbers::pi * x);
}

} // namespace

bool make_sweep(const sweep_request &r, sweep &s, std::string &why)
{
	if (!(r.rate >= 8000 && r.rate <= 768000))
		return why = "the rate must be within 8000 to 768000 Hz", false;
	double top = top_fraction * r.rate;
	double f2 = r.to_given ? r.to : std::min(r.to, top);
	if (!(r.from >= 1))
		return why = "the sweep cannot start below 1 Hz", false;
	if (f2 > top)
		return why = "the sweep cannot end above 0.45 times the rate", false;
	if (!(f2 >= 2 * r.from))
		return why = "the sweep must span an octave at least", false;
	if (!(r.seconds >= 0.5 && r.seconds <= 60))
		return why = "the sweep must last 0.5 to 60 seconds", false;
	if (!(r.level_db <= largest_level_db && r.level_db >= -60))
		return why = "the level must be within -60 to -3 dBFS", false;

	double f1 = r.from, span = std::log(f2 / f1);
	double cycles = std::round(f1 * r.seconds / span);
	if (cycles < 1)
		cycles = 1;
	s.rate = r.rate;
	s.f1 = f1;
	s.f2 = f2;
	s.L = cycles / f1;
	s.duration = s.L * span;
	s.amplitude = std::pow(10.0, r.level_db / 20);
	s.length = static_cast<size_t>(std::floor(s.duration * r.rate));
	size_t tail = static_cast<size_t>(std::ceil(tail_seconds * r.rate));
	s.played.assign(s.length + tail, 0.0);

	// Fade lengths: the time the sweep takes for a third of an octave at
	// its start and for 1/24 octave at its end.
	double fade_in = s.L * std::log(2.0) / 3 * r.rate;
	double fade_out = s.L * std::log(2.0) / 24 * r.rate;
	double end = static_cast<double>(s.length);
	for (size_t n = 0; n < s.length; n++) {
		double t = static_cast<double>(n) / r.rate;
		double v = std::sin(2 * std::numbers::pi * f1 * s.L * std::expm1(t / s.L));
		double pos = static_cast<double>(n);
		if (pos < fade_in)
			v *= hann_edge(pos / fade_in);
		if (end - pos < fade_out)
			v *= hann_edge((end - pos) / fade_out);
		s.played[n] = s.amplitude * v;
	}
	return true;
}
