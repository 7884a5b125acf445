// libFuzzer target: the report's own fixed-point formatting must print
// every double exactly as printf does, for every conversion it replaces.
#include "fixed.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const int conversions[][2] = {{3, 1}, {2, 2}, {2, 7}, {0, 2},
	                                     {3, 7}, {0, 3}, {0, 10}};
	for (size_t at = 0; at + sizeof(double) <= size; at += sizeof(double)) {
		double v;
		std::memcpy(&v, data + at, sizeof v);
		for (const auto &c : conversions) {
			char ours[fixed_max + 8], theirs[fixed_max + 8];
			char *end = format_fixed(ours, v, c[0], c[1]);
			*end = '\0';
			std::snprintf(theirs, sizeof theirs, "%*.*lf", c[0], c[1], v);
			if (std::strcmp(ours, theirs) != 0) {
				std::fprintf(stderr,
				             "%%%d.%dlf of %a: ours \"%s\", printf \"%s\"\n", c[0],
				             c[1], v, ours, theirs);
				std::abort();
			}
		}
	}
	return 0;
}
