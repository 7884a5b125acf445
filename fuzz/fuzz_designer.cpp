// libFuzzer target: arbitrary layouts at small rates and lengths. The first
// three bytes choose N (1 to 512, odd included) and the rate (1 Hz to
// 196,608 Hz); the rest is the layout. What the designer prints goes to a
// memory stream and is checked along with the coefficients.
#include "diag.h"
#include "eq.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace
{
std::string printed;
}

namespace
{

[[noreturn]] void fail(const char *why)
{
	std::fprintf(stderr, "invariant broken: %s\n--- printed:\n%s\n", why, printed.c_str());
	std::abort();
}

bool ends_with(std::string_view text, std::string_view tail)
{
	return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// Lines of the printed text, from `from` on, that hold `mark`.
int32_t lines_after(size_t from, std::string_view mark)
{
	int32_t count = 0;
	for (size_t at = printed.find(mark, from); at != std::string::npos;
	     at = printed.find(mark, at + mark.size()))
		count++;
	return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 3)
		return 0;
	int32_t n = 1 + ((data[0] | (data[1] & 1) << 8) % 512);
	double rate = 1 + ((data[1] >> 1) | data[2] << 7) * 6; // 1 to 196,603 Hz
	std::string text(reinterpret_cast<const char *>(data + 3), size - 3);

	eq_state state;
	if (eq_init(state, rate, n) == 0)
		fail("eq_init failed");
	char *buffer = nullptr;
	size_t length = 0;
	FILE *sink = open_memstream(&buffer, &length);
	if (sink == nullptr)
		fail("open_memstream");
	printer out{sink, ""};
	int ok = eq_design(state, text.c_str(), eq_output{out, out});
	std::fclose(sink);
	printed.assign(buffer, length);
	std::free(buffer);

	std::string heading =
	        "\n\nReloading amplification specifications:\n" + std::string(text.c_str()) + "\n";
	if (printed.compare(0, heading.size(), heading) != 0)
		fail("heading");
	if (ok) {
		int32_t h = n / 2;
		double sum = 0;
		for (int32_t i = 0; i < n; i++) {
			if (!std::isfinite(state.time[i]))
				fail("non-finite coefficient in a good design");
			sum += std::fabs(state.time[i]);
		}
		if (n % 2 == 0) {
			if (state.time[0] != 0.0)
				fail("tap 0 not zero");
			for (int32_t m = 1; m < h; m++)
				if (state.time[h - m] != state.time[h + m])
					fail("even design not symmetric");
		} else {
			for (int32_t m = 1; m <= h; m++)
				if (state.time[h - m] != state.time[h + m])
					fail("odd design not symmetric");
		}
		if (state.normalize && sum != 0.0 && std::fabs(sum - 1.0) > 1e-9)
			fail("normalized taps do not add up to 1");
		if (lines_after(heading.size(), " Hz: requested ") != h + 1)
			fail("report is not one line a bin");
		if (lines_after(heading.size(), " ms: ") != n)
			fail("listing is not one line a tap");
	} else if (ends_with(printed, "Design error: non-finite coefficients.\n")) {
		if (lines_after(heading.size(), " Hz: requested ") != n / 2 + 1)
			fail("non-finite design without its report");
		if (lines_after(heading.size(), " ms: ") != 0)
			fail("listing printed for a failed design");
	} else if (!ends_with(printed, "Parse error.\n") &&
	           !ends_with(printed, "Parse error: Nonincreasing sequence of frequencies.\n")) {
		fail("failure without the designer's message");
	} else if (lines_after(heading.size(), " Hz: requested ") != 0) {
		fail("report printed for a layout that did not parse");
	}
	eq_free(state);
	return 0;
}
