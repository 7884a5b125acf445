// Time of importing a 10-band parametric file as AutoEq writes them: the
// parse and the fit of its curve into a layout, as firdesign -i eqapo and
// firtune's band designs do it.
#include "import.h"

#include <benchmark/benchmark.h>

#include <string>

namespace
{

const char *const autoeq = "Preamp: -6.4 dB\n"
                           "Filter 1: ON LSC Fc 105 Hz Gain 5.9 dB Q 0.70\n"
                           "Filter 2: ON PK Fc 62 Hz Gain -1.8 dB Q 0.52\n"
                           "Filter 3: ON PK Fc 180 Hz Gain -3.2 dB Q 0.61\n"
                           "Filter 4: ON PK Fc 980 Hz Gain 1.4 dB Q 1.20\n"
                           "Filter 5: ON PK Fc 2400 Hz Gain 3.3 dB Q 2.10\n"
                           "Filter 6: ON PK Fc 3600 Hz Gain -2.9 dB Q 3.40\n"
                           "Filter 7: ON PK Fc 5400 Hz Gain 4.2 dB Q 4.80\n"
                           "Filter 8: ON PK Fc 7700 Hz Gain -4.6 dB Q 5.20\n"
                           "Filter 9: ON PK Fc 11000 Hz Gain -1.9 dB Q 1.70\n"
                           "Filter 10: ON HSC Fc 10000 Hz Gain -2.4 dB Q 0.70\n";

void bm_import_eqapo(benchmark::State &s)
{
	auto rate = static_cast<double>(s.range(0));
	for (auto _ : s) {
		std::string layout;
		import_error err;
		if (!import_layout(autoeq, input_format::eqapo, rate, correction_options{}, layout,
		                   err))
			s.SkipWithError("the import failed");
		benchmark::DoNotOptimize(layout);
	}
}

} // namespace

BENCHMARK(bm_import_eqapo)->Arg(48000)->Arg(96000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
