// Time of setting up the designer (both transform plans) and of one design,
// with the printed output switched off; of one design by phase (0 linear,
// 1 minimum) and of its response on the grid, as firtune's /api/design
// computes both.
#include "diag.h"
#include "eq.h"
#include "response.h"

#include <benchmark/benchmark.h>

#include <cstdint>

namespace
{

const char *const layout = "40 2.5\n100 1.6\n400 1\n2500 0.85\n5000 1\n10000 1.4\n16000 1.6\n";

void bm_init(benchmark::State &s)
{
	quiet = true;
	auto n = static_cast<int32_t>(s.range(0));
	for (auto _ : s) {
		eq_state state;
		if (eq_init(state, 48000.0, n) == 0)
			s.SkipWithError("eq_init failed");
		eq_free(state);
	}
}

void bm_design(benchmark::State &s)
{
	quiet = true;
	auto n = static_cast<int32_t>(s.range(0));
	eq_state state;
	if (eq_init(state, 48000.0, n) == 0) {
		s.SkipWithError("eq_init failed");
		return;
	}
	for (auto _ : s)
		benchmark::DoNotOptimize(eq_design(state, layout));
	eq_free(state);
}

eq_phase phase_of(benchmark::State &s)
{
	return s.range(1) == 1 ? eq_phase::minimum : eq_phase::linear;
}

void bm_design_phase(benchmark::State &s)
{
	quiet = true;
	eq_state state;
	if (eq_init(state, 48000.0, static_cast<int32_t>(s.range(0))) == 0) {
		s.SkipWithError("eq_init failed");
		return;
	}
	state.phase = phase_of(s);
	eq_output silent{};
	for (auto _ : s)
		benchmark::DoNotOptimize(eq_design(state, layout, silent));
	eq_free(state);
}

void bm_response(benchmark::State &s)
{
	quiet = true;
	eq_state state;
	if (eq_init(state, 48000.0, static_cast<int32_t>(s.range(0))) == 0) {
		s.SkipWithError("eq_init failed");
		return;
	}
	state.phase = phase_of(s);
	eq_output silent{};
	if (eq_design(state, layout, silent) == 0)
		s.SkipWithError("eq_design failed");
	for (auto _ : s)
		benchmark::DoNotOptimize(design_response(state));
	eq_free(state);
}

} // namespace

BENCHMARK(bm_design_phase)->ArgsProduct({{4096, 65536}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(bm_response)->ArgsProduct({{4096, 65536}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(bm_init)->Arg(1024)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond);
BENCHMARK(bm_design)->Arg(1024)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
