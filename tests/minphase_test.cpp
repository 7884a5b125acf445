// Minimum phase against linear phase and against a reference computed
// here another way: every example and imported source, at three lengths
// and three rates, plus an odd length.
#include "eq.h"
#include "import.h"
#include "response.h"
#include "spread.h"

#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace
{

std::string read_example(const std::string &name)
{
	std::ifstream file(std::string(FIRLOAD_EXAMPLES) + "/" + name);
	std::ostringstream all;
	all << file.rdbuf();
	return all.str();
}

// The minimum-phase filter of the magnitude of taps, by the Hilbert
// relation on a complex grid at least as fine as the designer's, with a
// floor thirteen orders lower, and its own transforms.
std::vector<double> reference(std::span<const double> taps)
{
	size_t m = 1;
	while (m < std::max<size_t>(8 * taps.size(), 1 << 17))
		m *= 2;
	std::vector<std::complex<double>> x(m), y(m);
	auto *in = reinterpret_cast<fftw_complex *>(x.data());
	auto *out = reinterpret_cast<fftw_complex *>(y.data());
	fftw_plan forward =
	        fftw_plan_dft_1d(static_cast<int>(m), in, out, FFTW_FORWARD, FFTW_ESTIMATE);
	fftw_plan backward =
	        fftw_plan_dft_1d(static_cast<int>(m), out, in, FFTW_BACKWARD, FFTW_ESTIMATE);
	std::copy(taps.begin(), taps.end(), x.begin());
	fftw_execute(forward);
	double top = std::abs(*std::max_element(
	        y.begin(), y.end(), [](auto a, auto b) { return std::abs(a) < std::abs(b); }));
	for (auto &v : y)
		v = std::log(std::max(std::abs(v), top * 1e-17)) / static_cast<double>(m);
	fftw_execute(backward); // x: the cepstrum
	for (size_t i = 1; i < m; i++)
		x[i] = i < m / 2 ? 2.0 * x[i] : i == m / 2 ? x[i] : 0.0;
	fftw_execute(forward);
	for (auto &v : y)
		v = std::exp(v) / static_cast<double>(m);
	fftw_execute(backward);
	fftw_destroy_plan(forward);
	fftw_destroy_plan(backward);
	std::vector<double> h(taps.size());
	for (size_t i = 0; i < h.size(); i++)
		h[i] = x[i].real();
	return h;
}

// The fraction of the energy in the first k taps, for every k.
std::vector<double> build_up(std::span<const double> taps)
{
	std::vector<double> e;
	double sum = 0;
	for (double t : taps)
		e.push_back(sum += t * t);
	for (double &v : e)
		v /= sum;
	return e;
}

} // namespace

TEST(MinimumPhase, ExamplesAndSourcesByLengthAndRate)
{
	// .eq layouts, .db curves in dB, the others recognised by content.
	const char *sources[] = {"bass-boost.eq",
	                         "flat.eq",
	                         "loudness.eq",
	                         "normalized-treble.eq",
	                         "telephone.eq",
	                         "headphone-graphic.txt",
	                         "headphone-parametric.txt",
	                         "rew-filters.txt",
	                         "rew-measurement.txt",
	                         "rew-notch.txt",
	                         "house-curve.db"};
	struct size_rate {
		int32_t n;
		double rate;
	};
	std::vector<size_rate> cases;
	for (int32_t n : {512, 4096, 65536})
		for (double rate : {44100.0, 48000.0, 96000.0})
			cases.push_back({n, rate});
	cases.push_back({4097, 48000.0});
	for (std::string name : sources) {
		std::string text = read_example(name);
		input_format format = name.ends_with(".eq")   ? input_format::layout
		                      : name.ends_with(".db") ? input_format::db
		                                              : detect_format(text);
		for (auto [n, rate] : cases) {
			SCOPED_TRACE(name + " N=" + std::to_string(n) +
			             " R=" + std::to_string(static_cast<int>(rate)));
			std::string layout = text;
			import_error err;
			ASSERT_TRUE(format == input_format::layout ||
			            import_layout(text, format, rate, {}, layout, err))
			        << err.what;
			eq_state lin, min;
			ASSERT_EQ(eq_init(lin, rate, n), 1);
			eq_guard lin_guard{lin};
			ASSERT_EQ(eq_init(min, rate, n), 1);
			eq_guard min_guard{min};
			min.phase = eq_phase::minimum;
			eq_output silent{};
			ASSERT_EQ(eq_design(lin, layout.c_str(), silent), 1);
			ASSERT_EQ(eq_design(min, layout.c_str(), silent), 1);
			std::span<const double> taps(min.time, static_cast<size_t>(n));

			// The summary's deviation, within 0.1 dB of linear phase's.
			band b = audio_band(rate);
			deviation dl = figures_of(lin, design_response(lin), b, false).dev;
			deviation dm = figures_of(min, response_at_in_two(min, response_grid(rate)),
			                          b, false)
			                       .dev;
			ASSERT_EQ(dm.any, dl.any);
			EXPECT_LE(std::fabs(dm.db), std::fabs(dl.db) + 0.1) << dm.freq;

			// Energy as early as the reference's, the peak in the first ms.
			std::vector<double> mine = build_up(taps), ref = build_up(reference(taps));
			double worst = 0;
			for (size_t k = 0; k < mine.size(); k++)
				worst = std::max(worst, ref[k] - mine[k]);
			EXPECT_LE(worst, 1e-6);
			auto peak =
			        std::max_element(taps.begin(), taps.end(), [](double a, double c) {
				        return std::fabs(a) < std::fabs(c);
			        });
			EXPECT_LT(peak - taps.begin(), rate / 1000);

			double sum = 0;
			for (double t : taps)
				sum += std::fabs(t);
			if (min.normalize) {
				EXPECT_NEAR(sum, 1.0, 1e-12);
			}
			if (name == "flat.eq") {
				EXPECT_EQ(taps[0], 1.0);
				EXPECT_EQ(sum, 1.0);
			}
		}
	}
}

// Taps of no symmetry take the grid's general route: the linear design
// delayed by two taps (the same magnitude) gives the same minimum-phase
// filter as the design itself, on the same grid.
TEST(MinimumPhase, TapsOfNoSymmetry)
{
	struct example {
		const char *name;
		int32_t n;
	};
	for (auto [name, n] : std::vector<example>{{"loudness.eq", 4096},
	                                           {"loudness.eq", 4097},
	                                           {"bass-boost.eq", 65536},
	                                           {"telephone.eq", 512}}) {
		SCOPED_TRACE(std::string(name) + " N=" + std::to_string(n));
		eq_state lin;
		ASSERT_EQ(eq_init(lin, 48000.0, n), 1);
		eq_guard lin_guard{lin};
		eq_output silent{};
		ASSERT_EQ(eq_design(lin, read_example(name).c_str(), silent), 1);
		auto size = static_cast<size_t>(n);
		std::vector<double> plain(lin.time, lin.time + size), delayed(size + 2, 0.0);
		std::copy(plain.begin(), plain.end(), delayed.begin() + 2);
		minphase_state grid;
		ASSERT_EQ(minphase_init(grid, n + 2), 1);
		minphase_from(grid, plain, 1.0);
		minphase_from(grid, delayed, 1.0);
		minphase_free(grid);
		double top = 0, worst = 0;
		for (size_t i = 0; i < size; i++) {
			top = std::max(top, std::fabs(plain[i]));
			worst = std::max(worst, std::fabs(delayed[i] - plain[i]));
		}
		EXPECT_LE(worst, 1e-9 * top);
	}
}

// The spread grid against the plain sum over the taps, in long double: the
// gain within 1e-13 of the sum of |taps|, the delay times the gain within
// 1e-13 of the sum of |n taps[n]|, at lengths odd and even, from one tap
// to 65,536, up to pi itself.
TEST(Spread, MatchesTheSumOverTheTaps)
{
	struct shape {
		int32_t n;
		double decay; // taps fall by e over this fraction of the length
	};
	for (auto [n, decay] :
	     std::vector<shape>{{1, 1}, {7, 1}, {301, 0.1}, {4096, 0.02}, {65536, 0.3}}) {
		SCOPED_TRACE(n);
		std::vector<double> taps(static_cast<size_t>(n));
		double sum = 0, weighted = 0;
		for (int32_t i = 0; i < n; i++) {
			// A fixed pseudo-random sequence, not symmetric about anything.
			double u = std::sin(12.9898 * (i + 1)) * 43758.5453;
			taps[static_cast<size_t>(i)] =
			        (u - std::floor(u) - 0.5) * std::exp(-i / (decay * n));
			sum += std::fabs(taps[static_cast<size_t>(i)]);
			weighted += i * std::fabs(taps[static_cast<size_t>(i)]);
		}
		spread_state s;
		ASSERT_EQ(spread_init(s, n), 1);
		spread_taps(s, taps, true);
		std::vector<double> theta;
		for (int k = 0; k <= 120; k++)
			theta.push_back(3.141592653589793 * std::pow(k / 120.0, 3));
		std::vector<double> gains(theta.size()), delays(theta.size());
		spread_at(s, theta.data(), theta.size(), gains.data(), delays.data());
		spread_free(s);
		for (size_t k = 0; k < theta.size(); k++) {
			std::complex<long double> h = 0, d = 0;
			for (int32_t i = 0; i < n; i++) {
				auto w = std::polar(1.0L, -static_cast<long double>(theta[k]) * i);
				h += static_cast<long double>(taps[static_cast<size_t>(i)]) * w;
				d += static_cast<long double>(taps[static_cast<size_t>(i)]) * i * w;
			}
			double gain = static_cast<double>(std::abs(h));
			EXPECT_NEAR(gains[k], gain, 1e-13 * sum) << theta[k];
			EXPECT_NEAR(delays[k] * gain, static_cast<double>((d / h).real()) * gain,
			            1e-13 * (weighted + sum))
			        << theta[k];
		}
	}
}

// A server's designer reads linear responses from the spread grid too:
// the same curve and figures as the sums, at even and odd lengths.
TEST(Spread, LinearResponsesAsSummed)
{
	std::string text = read_example("loudness.eq");
	for (int32_t n : {4096, 4097, 65536}) {
		SCOPED_TRACE(n);
		eq_state summed, spread;
		ASSERT_EQ(eq_init(summed, 48000, n), 1);
		eq_guard summed_guard{summed};
		ASSERT_EQ(eq_init(spread, 48000, n), 1);
		eq_guard spread_guard{spread};
		spread.spread_linear = true;
		eq_output silent{};
		ASSERT_EQ(eq_design(summed, text.c_str(), silent), 1);
		ASSERT_EQ(eq_design(spread, text.c_str(), silent), 1);
		ASSERT_TRUE(spread.spread.filled);
		// The sums leave out a tail of terms below 1e-10 of the sum of
		// their magnitudes; the grid is within 1e-13 of it.
		double sum = 0;
		for (int32_t i = 0; i < n; i++)
			sum += std::fabs(summed.time[i]);
		response a = design_response(summed), b = design_response(spread);
		ASSERT_EQ(a.achieved.size(), b.achieved.size());
		for (size_t i = 0; i < a.achieved.size(); i++)
			EXPECT_NEAR(b.achieved[i], a.achieved[i], 2.1e-10 * sum) << a.freq[i];
		design_figures fa = figures_of(summed, a, audio_band(48000)),
		               fb = figures_of(spread, b, audio_band(48000));
		EXPECT_NEAR(fb.top.db, fa.top.db, 1e-6);
		EXPECT_NEAR(fb.dev.db, fa.dev.db, 1e-6);
	}
}
