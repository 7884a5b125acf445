#include "analyse.h"

#include "diag.h"
#include "fft.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <cstdarg>
#include <cstdio>
#include <numbers>

namespace
{

using cplx = std::complex<double>;
constexpr double pi = std::numbers::pi;

double hann_edge(double x) // 0 at x <= 0, 1 at x >= 1
{
	x = std::clamp(x, 0.0, 1.0);
	return 0.5 - 0.5 * std::cos(pi * x);
}

// The inverse is kept to the sweep's band: full from f1 to f2, fading to
// nothing an octave below f1 and a third of an octave above f2, so that
// noise where the sweep never went is not raised.
double band(const sweep &s, double f)
{
	if (f < s.f1)
		return hann_edge(std::log2(f / (s.f1 / 2)));
	if (f > s.f2) {
		double top = std::min(s.f2 * std::exp2(1.0 / 3), s.rate / 2);
		return f >= top ? 0 : hann_edge(std::log(top / f) / std::log(top / s.f2));
	}
	return 1;
}

// The deconvolved signal of x, scaled so that x equal to the sweep gives
// a unit impulse at 0: FFT(x) times the analytic inverse
//   2 sqrt(f/L) exp(-j 2 pi f L (1 - ln(f/f1)) + j pi/4),
// divided by the amplitude and the rate (the DFT's scale), transformed
// back. x must fit fft.n.
// The energy of fft's bins in each octave from f1 up to f2, times scale.
std::vector<double> octave_energy(const sweep &s, const real_fft &fft, double scale)
{
	std::vector<double> energy;
	double per_bin = static_cast<double>(fft.n) / s.rate;
	for (double lo = s.f1; lo * 2 <= s.f2 * (1 + 1e-9); lo *= 2) {
		auto from = static_cast<size_t>(std::ceil(lo * per_bin));
		auto to = std::min(static_cast<size_t>(std::ceil(2 * lo * per_bin)), fft.n / 2 + 1);
		double sum = 0;
		for (size_t k = from; k < to; k++)
			sum += std::norm(fft.bin(k));
		energy.push_back(sum * scale);
	}
	return energy;
}

std::vector<double> deconvolve(const sweep &s, std::span<const double> x, const real_fft &fft,
                               std::vector<double> *octaves = nullptr)
{
	std::fill(fft.time.data(), fft.time.data() + fft.n, 0.0);
	std::copy(x.begin(), x.end(), fft.time.data());
	fft.forward.run();
	double n = static_cast<double>(fft.n);
	double scale = 1 / (s.amplitude * s.rate * n);
	for (size_t k = 0; k <= fft.n / 2; k++) {
		double f = static_cast<double>(k) * s.rate / n;
		double w = k == 0 ? 0 : band(s, f);
		if (w == 0) {
			fft.set_bin(k, 0);
			continue;
		}
		double phase = -2 * pi * f * s.L * (1 - std::log(f / s.f1)) + pi / 4;
		fft.set_bin(k, fft.bin(k) * std::polar(2 * std::sqrt(f / s.L) * w * scale, phase));
	}
	if (octaves != nullptr) // as the transform of the result would have them
		*octaves = octave_energy(s, fft, n * n);
	fft.inverse.run();
	return {fft.time.data(), fft.time.data() + fft.n};
}

size_t peak_of(const std::vector<double> &h)
{
	size_t p = 0;
	for (size_t i = 1; i < h.size(); i++)
		if (std::abs(h[i]) > std::abs(h[p]))
			p = i;
	return p;
}

// Mean power of h over count samples from `from`, circularly.
double mean_power(const std::vector<double> &h, size_t from, size_t count)
{
	double sum = 0;
	for (size_t i = 0; i < count; i++) {
		double v = h[(from + i) % h.size()];
		sum += v * v;
	}
	return count ? sum / static_cast<double>(count) : 0;
}

// Full scale reached: refused for a run of clip_run samples, noted for less.
bool check_clipping(std::span<const double> x, double rate, const char *what, bool &clipped,
                    std::string &why)
{
	size_t run = 0;
	for (size_t i = 0; i < x.size(); i++) {
		if (std::abs(x[i]) >= 0.999) {
			clipped = true;
			if (++run == clip_run) {
				why = std::string(what) +
				      formatted(" clips: samples in a row at full scale at %.3f s",
				                static_cast<double>(i + 1 - clip_run) / rate);
				return false;
			}
		} else {
			run = 0;
		}
	}
	return true;
}

// The response of h at f Hz over count samples from `from`, windowed flat.
cplx dft_at(const std::vector<double> &h, size_t from, size_t count, double f, double rate)
{
	cplx sum = 0;
	cplx step = std::polar(1.0, -2 * pi * f / rate), turn = 1;
	for (size_t i = 0; i < count; i++) {
		sum += h[(from + i) % h.size()] * turn;
		turn *= step;
		if (i % 1024 == 1023)
			turn /= std::abs(turn);
	}
	return sum;
}

} // namespace

std::vector<double> average_segments(std::span<const double> recording, size_t segment,
                                     size_t count)
{
	std::vector<double> mean(segment, 0.0);
	if (count == 0)
		return mean;
	for (size_t k = 0; k < count; k++)
		for (size_t i = 0; i < segment && k * segment + i < recording.size(); i++)
			mean[i] += recording[k * segment + i];
	for (double &v : mean)
		v /= static_cast<double>(count);
	return mean;
}

analysis_result analyse(const sweep &s, const analysis_request &r, measurement &m, std::string &why)
{
	m = measurement{};
	const double fs = s.rate;
	if (r.recording.size() < s.length) {
		why = formatted("is shorter than the sweep (%.3f s against %.3f s)",
		                static_cast<double>(r.recording.size()) / fs, s.duration);
		return analysis_result::refused;
	}
	double peak = 0;
	for (double v : r.recording)
		peak = std::max(peak, std::abs(v));
	m.input_peak_db = peak > 0 ? 20 * std::log10(peak) : -999;
	if (peak < 1e-5) {
		why = peak > 0 ? formatted("holds no sweep: silence (peak %.1f dBFS)",
		                           m.input_peak_db)
		               : "holds no sweep: silence";
		return analysis_result::refused;
	}
	bool reference = !r.loopback.empty();
	if (!check_clipping(r.recording, fs, "the input", m.clipped, why))
		return analysis_result::refused;
	bool loop_clipped = false;
	if (reference && !check_clipping(r.loopback, fs, "the loopback", loop_clipped, why))
		return analysis_result::refused;

	auto tail = static_cast<size_t>(std::ceil(tail_seconds * fs));
	size_t longest = std::max(r.recording.size(), r.loopback.size());
	real_fft fft(fast_length(longest + s.length + tail));
	if (!fft.ok()) {
		why = "no memory for the transforms of a recording this long";
		return analysis_result::failed;
	}
	const size_t n = fft.n;
	std::vector<double> whole; // each octave's energy in all of h
	std::vector<double> h = deconvolve(s, r.recording, fft, &whole);
	size_t p = peak_of(h);

	// Where nothing should be: after the response has died away and
	// before the harmonics (up to the 16th) that precede it, circularly.
	auto harmonics = static_cast<size_t>(std::ceil(s.L * std::log(16.0) * fs + 0.05 * fs));
	size_t zone = n > tail + harmonics ? n - tail - harmonics : n / 4;
	double noise = mean_power(h, p + tail, zone);
	double pnr = 10 * std::log10(h[p] * h[p] / std::max(noise, 1e-300));
	if (pnr < least_peak_to_noise_db) {
		why = formatted(
		        "holds no sweep of these settings: its deconvolution peaks only %.1f dB "
		        "above its noise",
		        pnr);
		return analysis_result::refused;
	}

	size_t start = p;
	if (reference) {
		std::vector<double> hl = deconvolve(s, r.loopback, fft);
		size_t pl = peak_of(hl);
		double lnoise = mean_power(hl, pl + tail, zone);
		if (10 * std::log10(hl[pl] * hl[pl] / std::max(lnoise, 1e-300)) <
		    least_peak_to_noise_db) {
			why = "the loopback channel holds no sweep of these settings";
			return analysis_result::refused;
		}
		start = pl;
		m.delay = static_cast<long>(p) - static_cast<long>(pl);
		if (m.delay > static_cast<long>(n / 2))
			m.delay -= static_cast<long>(n);
		m.from_loopback = true;
	} else {
		m.delay = static_cast<long>(p);
	}

	// The window: rising from two periods of f1 before the start (the
	// band's edge rings on both sides of it), but well after the second
	// harmonic; flat; the last tenth falling.
	m.pre = static_cast<size_t>(std::round(std::min(2 / s.f1, 0.4 * s.L * std::log(2.0)) * fs));
	size_t after = r.window_ms > 0 ? static_cast<size_t>(std::round(r.window_ms * fs / 1000))
	                               : tail - m.pre;
	after = std::max<size_t>(after, 1);
	size_t width = m.pre + after, first = (start + n - m.pre) % n;
	size_t fall = std::max<size_t>(after / 10, 1);
	m.impulse.resize(width);
	for (size_t i = 0; i < width; i++) {
		double w = i < m.pre           ? hann_edge((static_cast<double>(i) + 0.5) /
		                                           static_cast<double>(m.pre))
		           : i >= width - fall ? hann_edge(static_cast<double>(width - i) /
		                                           static_cast<double>(fall))
		                               : 1.0;
		m.impulse[i] = w * h[(first + i) % n];
	}
	double energy = 0;
	for (double v : m.impulse)
		energy += v * v;
	m.snr_db = 10 * std::log10(energy / std::max(noise * static_cast<double>(width), 1e-300));

	// Another sweep deconvolves into a chirp: each octave arrives at its
	// own time, most of them outside the second after the start. Each
	// octave of a response, however long the room rings, has most of its
	// energy there.
	std::fill(fft.time.data(), fft.time.data() + n, 0.0);
	for (size_t i = 0; i < tail; i++)
		fft.time[(i + n - m.pre) % n] = h[(first + i) % n];
	fft.forward.run();
	std::vector<double> held = octave_energy(s, fft, 1);
	size_t missing = 0;
	for (size_t k = 0; k < held.size(); k++)
		missing += !(held[k] >= least_held * whole[k]);
	if (2 * missing > held.size()) {
		why = formatted("holds no sweep of these settings: %zu of its %zu octaves arrive "
		                "elsewhere",
		                missing, held.size());
		return analysis_result::refused;
	}

	// The transfer function, t = 0 at the start.
	std::fill(fft.time.data(), fft.time.data() + n, 0.0);
	for (size_t i = 0; i < width; i++)
		fft.time[(i + n - m.pre) % n] = m.impulse[i];
	fft.forward.run();
	size_t bins = n / 2 + 1;
	std::vector<double> power(bins + 1, 0.0); // prefix sums of |H|^2
	for (size_t k = 0; k < bins; k++)
		power[k + 1] = power[k] + std::norm(fft.bin(k));
	double per_bin = static_cast<double>(n) / fs;
	for (int k = 0;; k++) {
		double f = s.f1 * std::exp2(static_cast<double>(k) / grid_per_octave);
		if (f > s.f2 * (1 + 1e-9))
			break;
		double pos = f * per_bin;
		auto k0 = std::min(static_cast<size_t>(pos), bins - 2);
		double t = pos - static_cast<double>(k0);
		cplx value = fft.bin(k0) * (1 - t) + fft.bin(k0 + 1) * t;
		double pw = std::norm(value);
		if (r.smooth > 0) {
			double half = 1 / (2 * r.smooth);
			auto lo = static_cast<size_t>(std::ceil(f * std::exp2(-half) * per_bin));
			auto hi = std::min(
			        static_cast<size_t>(std::floor(f * std::exp2(half) * per_bin)),
			        bins - 1);
			if (hi > lo)
				pw = (power[hi + 1] - power[lo]) / static_cast<double>(hi - lo + 1);
		}
		m.freq.push_back(f);
		m.db.push_back(10 * std::log10(std::max(pw, 1e-30)));
		m.phase.push_back(std::arg(value) * 180 / pi);
	}

	// Harmonic distortion at 1 kHz: the k-th harmonic's response lies
	// L ln k before the linear one, and at k kHz is the k-th harmonic's
	// amplitude over the sweep's.
	const double at = 1000;
	for (int k : {2, 3}) {
		if (at < s.f1 || k * at > s.f2)
			continue;
		double pos = static_cast<double>(p) - s.L * std::log(k) * fs;
		auto span_k = static_cast<size_t>(0.9 * s.L * std::log(k / (k - 1.0)) * fs);
		size_t len = std::min(after, span_k);
		auto from = static_cast<size_t>(std::fmod(
		        std::round(pos) - static_cast<double>(m.pre) + 2.0 * static_cast<double>(n),
		        static_cast<double>(n)));
		cplx hk = dft_at(h, from, m.pre + len, k * at, fs);
		cplx h1 = dft_at(h, (p + n - m.pre) % n, m.pre + len, at, fs);
		double percent = std::abs(h1) > 0 ? 100 * std::abs(hk) / std::abs(h1) : -1;
		(k == 2 ? m.h2 : m.h3) = percent;
	}
	return analysis_result::ok;
}
