#include "layout.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

read_result read_layout(int input, std::vector<char> &buffer, size_t limit)
{
	buffer.clear();
	size_t pos = 0;
	for (;;) {
		// Room for limit + 1 bytes at most, 64 KiB at a time.
		if (pos == buffer.size())
			buffer.resize(std::min(limit + 1, pos + 65536));
		ssize_t got = read(input, buffer.data() + pos, buffer.size() - pos);
		if (got == 0)
			break;
		if (got < 0) {
			if (errno == EINTR)
				continue;
			return read_result::error;
		}
		pos += static_cast<size_t>(got);
		if (pos > limit)
			return read_result::too_much;
	}
	buffer.resize(pos + 1);
	buffer[pos] = '\0';
	return read_result::ok;
}

namespace
{

// Past the white space at pos, as scanf passes over it.
const char *past_space(const char *pos)
{
	while (*pos == ' ' || *pos == '\t' || *pos == '\n' || *pos == '\r' || *pos == '\v' ||
	       *pos == '\f')
		pos++;
	return pos;
}

// Where the breakpoints of text start: past the normalize header (the
// whole first line, or all of a text without a newline) when it has one.
const char *breakpoints_of(const char *text, bool &header)
{
	header = strncasecmp(text, "normalize", 4) == 0;
	if (!header)
		return text;
	const char *newline = std::strchr(text, '\n');
	return newline != nullptr ? newline + 1 : text + std::strlen(text);
}

// The line of text that holds the breakpoint starting at or after pos.
int line_at(const char *text, const char *pos)
{
	pos = past_space(pos);
	if (*pos == '\0' && pos > text)
		pos--; // only white space left: the last line
	int line = 1;
	for (const char *p = text; p < pos; p++)
		line += *p == '\n';
	return line;
}

} // namespace

eq_output eq_diag_output()
{
	return eq_output{diag_printer(), diag_printer()};
}

int eq_build_spectrum(const char *text, double rate, int32_t length, double *spectrum,
                      int32_t *normalize)
{
	return eq_build_spectrum(text, rate, length, spectrum, normalize, eq_diag_output());
}

int eq_build_spectrum(const char *text, double rate, int32_t length, double *spectrum,
                      int32_t *normalize, const eq_output &out, std::vector<eq_segment> *segments)
{
	std::fill(spectrum, spectrum + length, 0.0);
	if (segments != nullptr)
		segments->clear();
	print(out.report, "\n\nReloading amplification specifications:\n%s\n", text);

	bool header = false;
	const char *pos = breakpoints_of(text, header);
	*normalize = header ? 1 : 0;

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
						if (out.error_line != nullptr)
							*out.error_line = line_at(text, pos);
						print(out.errors, "Parse error.\n");
						return 0;
					}
					if (f0 > f1) {
						if (out.error_line != nullptr)
							*out.error_line = line_at(text, pos);
						print(out.errors, "Parse error: Nonincreasing "
						                  "sequence of frequencies.\n");
						return 0;
					}
					pos += used;
				} else {
					f1 = rate;
				}
				// A segment starting at 0 Hz is flat at its upper gain.
				if (segments != nullptr)
					segments->push_back({f0, f0 == 0.0 ? g1 : saved, f1, g1});
			} while (fq >= f1);
			g0 = f0 == 0.0 ? g1 : saved;
		}
		spectrum[i] = g0 + (g1 - g0) * ((fq - f0) / (f1 - f0));
	}
	// The bins are done; the pieces go on to the layout's last breakpoint
	// (with a small odd length they can lie beyond the last bin), read
	// silently: what the bins never needed is no error of the design.
	if (segments != nullptr && *pos != '\0') {
		while (*pos != '\0') {
			f0 = f1;
			saved = g1;
			int used = 0;
			if (std::sscanf(pos, "%lf %lf %n", &f1, &g1, &used) != 2 || f0 > f1) {
				f1 = f0;
				g1 = saved;
				break;
			}
			pos += used;
			segments->push_back({f0, f0 == 0.0 ? g1 : saved, f1, g1});
		}
		segments->push_back({f1, g1, std::max(f1, rate), g1});
	}
	return 1;
}

bool eq_read_breakpoints(const char *text, std::vector<eq_breakpoint> &out)
{
	out.clear();
	bool header = false;
	const char *pos = breakpoints_of(text, header);
	double last = 0;
	int line = 1;
	const char *counted = text; // newlines before here are in line
	while (*pos != '\0') {
		eq_breakpoint b{};
		int begin = 0, end = 0, used = 0;
		if (std::sscanf(pos, "%lf %n%lf%n %n", &b.freq, &begin, &b.gain, &end, &used) !=
		            2 ||
		    b.freq < last)
			return false;
		// The number starts after the white space sscanf passed over.
		for (const char *start = past_space(pos); counted < start; counted++)
			line += *counted == '\n';
		b.line = line;
		b.gain_begin = static_cast<size_t>(pos - text) + static_cast<size_t>(begin);
		b.gain_end = static_cast<size_t>(pos - text) + static_cast<size_t>(end);
		last = b.freq;
		out.push_back(b);
		pos += used;
	}
	return true;
}

double eq_segments_gain(std::span<const eq_segment> segments, double f)
{
	if (segments.empty())
		return 1.0;
	// The last piece that starts at or below f; pieces of zero width hold
	// no frequency and are passed.
	auto after = std::upper_bound(segments.begin(), segments.end(), f,
	                              [](double x, const eq_segment &s) { return x < s.f0; });
	if (after == segments.begin())
		return segments.front().g0;
	const eq_segment &s = *(after - 1);
	if (f >= s.f1)
		return s.g1;
	return s.g0 + (s.g1 - s.g0) * ((f - s.f0) / (s.f1 - s.f0));
}
