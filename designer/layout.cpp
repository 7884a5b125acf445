#include "layout.h"

#include "diag.h"

#include <strings.h>

#include <algorithm>

#include <cstdio>
#include <cstring>

int eq_build_spectrum(const char *text, double rate, int32_t length, double *spectrum,
                      int32_t *normalize)
{
	std::fill(spectrum, spectrum + length, 0.0);
	diag("\n\nReloading amplification specifications:\n%s\n", text);

	const char *pos = text;
	if (strncasecmp(text, "normalize", 4) == 0) {
		const char *newline = std::strchr(text, '\n');
		pos = newline != nullptr ? newline + 1 : text + std::strlen(text);
		*normalize = 1;
	} else {
		*normalize = 0;
	}

	// Lower breakpoint (f0, g0), upper breakpoint (f1, g1), and the gain of
	// the breakpoint passed last.
	double f0 = 0.0, g0 = 1.0, f1 = 0.0, g1 = 1.0, saved = 1.0;
	for (int32_t i = 0; i <= length / 2; i++) {
		double fq = (i * rate) / length;
		if (fq >= f1) {
			do {
				f0 = f1;
				saved = g1;
				if (*pos != '\0') {
					int used = 0;
					if (std::sscanf(pos, "%lf %lf %n", &f1, &g1, &used) != 2) {
						diag("Parse error.\n");
						return 0;
					}
					if (f0 > f1) {
						diag("Parse error: Nonincreasing sequence of "
						     "frequencies.\n");
						return 0;
					}
					pos += used;
				} else {
					f1 = rate;
				}
			} while (fq >= f1);
			// A segment starting at 0 Hz is flat at its upper gain.
			g0 = f0 == 0.0 ? g1 : saved;
		}
		spectrum[i] = g0 + (g1 - g0) * ((fq - f0) / (f1 - f0));
	}
	return 1;
}
