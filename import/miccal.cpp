#include "miccal.h"

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

bool is_separator(char c)
{
	return c == ' ' || c == '\t' || c == ',' || c == ';';
}

// The number after "Sens Factor", past blanks and an optional '=', read
// as far as it goes ("-1.2dB" gives -1.2).
bool sens_factor(std::string_view line, double &db)
{
	size_t at = line.find("Sens Factor");
	if (at == std::string_view::npos)
		return false;
	std::string rest(trimmed(line.substr(at + 11)));
	size_t i = 0;
	while (i < rest.size() && (rest[i] == '=' || rest[i] == ' ' || rest[i] == '\t'))
		i++;
	const char *start = rest.c_str() + i;
	char *stop = nullptr;
	db = std::strtod(start, &stop);
	return stop != start && std::isfinite(db);
}

} // namespace

bool parse_mic_calibration(std::string_view text, mic_calibration &cal, import_error &err)
{
	cal = mic_calibration{};
	int number = 0;
	while (!text.empty()) {
		std::string_view line = trimmed(next_line(text));
		number++;
		if (number == 1 && line.find("Sens Factor") != std::string_view::npos) {
			if (!sens_factor(line, cal.sens_db))
				return failed_at(err, number,
				                 "the Sens Factor has no number in dB");
			cal.has_sens = true;
			continue;
		}
		if (line.empty() || line[0] == '#' || line[0] == '*' || line[0] == '"')
			continue;
		std::vector<double> values;
		std::string copy(line);
		const char *p = copy.c_str();
		for (;;) {
			while (is_separator(*p))
				p++;
			if (*p == '\0')
				break;
			const char *word = p;
			while (*p != '\0' && !is_separator(*p))
				p++;
			double v = 0;
			if (!decimal_number(std::string_view(word, static_cast<size_t>(p - word)),
			                    v))
				return failed_at(err, number,
				                 "a row holds something that is not a number");
			values.push_back(v);
		}
		if (values.size() < 2 || values.size() > 3)
			return failed_at(err, number,
			                 "a row needs frequency and dB (and at most a phase)");
		if (!(values[0] > 0))
			return failed_at(err, number, "frequencies must be above 0 Hz");
		if (!cal.curve.freq.empty() && !(values[0] > cal.curve.freq.back()))
			return failed_at(err, number, "frequencies must rise from row to row");
		cal.curve.freq.push_back(values[0]);
		cal.curve.db.push_back(values[1]);
		cal.curve.lines.push_back(number);
	}
	if (cal.curve.freq.empty())
		return failed_at(err, 0, "there is no row of frequency and dB");
	return true;
}
