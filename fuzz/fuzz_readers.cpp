// libFuzzer target: the readers alone, text to records, no fit. The first
// byte picks the reader (Equalizer APO, a REW measurement, a target curve,
// a layout in dB) and the rate; the rest is the source. Either records
// that keep the readers' promises, or a refusal that says what is wrong.
#include "eqapo.h"
#include "rew.h"
#include "text.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

[[noreturn]] void broken(const char *what)
{
	std::fprintf(stderr, "%s\n", what);
	std::abort();
}

// Points above 0 Hz, finite, rising, each with the line it came from.
void check_curve(const db_curve &c, size_t least)
{
	if (c.freq.size() < least || c.db.size() != c.freq.size() ||
	    c.lines.size() != c.freq.size())
		broken("a curve's points do not match");
	for (size_t i = 0; i < c.freq.size(); i++) {
		if (!(c.freq[i] > 0) || !std::isfinite(c.freq[i]) || !std::isfinite(c.db[i]))
			broken("a point out of range");
		if (i > 0 && (c.freq[i] <= c.freq[i - 1] || c.lines[i] <= c.lines[i - 1]))
			broken("points out of order");
		if (c.lines[i] < 1)
			broken("a point without its line");
	}
}

void check_chain(const eqapo_chain &c)
{
	if (c.filter_lines.size() != c.filters.size() || c.graphic_lines.size() != c.graphic.size())
		broken("a part of the chain without its line");
	for (const auto &g : c.graphic)
		for (size_t i = 1; i < g.size(); i++)
			if (g[i].first < g[i - 1].first)
				broken("GraphicEQ nodes out of order");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	static const double rates[] = {8000, 44100, 48000, 96000, 192000, 22050, 32000, 16000};
	double rate = rates[(data[0] >> 2) & 7];
	std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
	std::string why;
	if (!plain_text(text, why)) {
		if (why.empty())
			broken("refused without a reason");
		return 0;
	}
	import_error err;
	line_log log;
	bool ok = false;
	switch (data[0] & 3) {
	case 0: {
		eqapo_chain chain;
		ok = parse_eqapo(text, rate, chain, err, &log);
		if (ok)
			check_chain(chain);
		break;
	}
	case 1:
	case 2: {
		db_curve curve;
		ok = parse_db_curve(text, (data[0] & 3) == 1 ? 3 : 2, curve, err, &log);
		if (ok)
			check_curve(curve, 2);
		break;
	}
	default: {
		db_curve curve;
		ok = parse_db_pairs(text, curve, err, &log);
		if (ok)
			check_curve(curve, 1);
		break;
	}
	}
	if (!ok && (err.what.empty() || err.line < 0))
		broken("refused without a reason");
	for (const ignored_run &run : log.ignored)
		if (run.first < 1 || run.last < run.first || run.why.empty())
			broken("an ignored run without its lines or reason");
	return 0;
}
