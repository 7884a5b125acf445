// Time of setting up the designer (both transform plans) and of one design,
// with the printed output switched off.
#include "diag.h"
#include "eq.h"

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

} // namespace

BENCHMARK(bm_init)->Arg(1024)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond);
BENCHMARK(bm_design)->Arg(1024)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
