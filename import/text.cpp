#include "text.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

bool plain_text(std::string_view &text, std::string &why)
{
	if (text.starts_with("\xef\xbb\xbf"))
		text.remove_prefix(3);
	bool wide_mark = text.starts_with("\xff\xfe") || text.starts_with("\xfe\xff") ||
	                 text.starts_with(std::string_view("\0\0\xfe\xff", 4));
	// Text of ASCII characters in UTF-16 or UTF-32 has a NUL in every
	// second or fourth byte; a layout ends at its first NUL instead, so
	// only a NUL among the very first bytes counts.
	std::string_view head = text.substr(0, 4);
	bool early_nul =
	        head.size() >= 2 && std::find(head.begin(), head.end(), '\0') != head.end();
	if (wide_mark || early_nul) {
		why = "the text is in UTF-16 or UTF-32; save it as UTF-8 or ASCII";
		return false;
	}
	return true;
}

bool whole_number(std::string_view word, long long low, long long high, long long &value)
{
	bool negative = word.starts_with('-');
	std::string_view digits = word.substr(negative ? 1 : 0);
	if (digits.empty())
		return false;
	// Counted as far as high's or low's size allows, so nothing overflows.
	unsigned long long bound = negative ? 0ULL - static_cast<unsigned long long>(low)
	                                    : static_cast<unsigned long long>(high);
	if ((negative && low >= 0) || (!negative && high < 0))
		return false;
	unsigned long long v = 0;
	for (char c : digits) {
		if (c < '0' || c > '9')
			return false;
		unsigned d = static_cast<unsigned>(c - '0');
		if (d > bound || v > (bound - d) / 10)
			return false;
		v = v * 10 + d;
	}
	long long signed_v =
	        negative ? static_cast<long long>(0ULL - v) : static_cast<long long>(v);
	if (signed_v < low || signed_v > high)
		return false;
	value = signed_v;
	return true;
}

bool decimal_number(std::string_view word, double &value)
{
	size_t i = 0;
	if (i < word.size() && (word[i] == '+' || word[i] == '-'))
		i++;
	size_t digits = 0, points = 0;
	for (; i < word.size(); i++) {
		if (word[i] >= '0' && word[i] <= '9')
			digits++;
		else if (word[i] == '.' && points == 0)
			points++;
		else
			break;
	}
	if (digits == 0)
		return false;
	if (i < word.size() && (word[i] == 'e' || word[i] == 'E')) {
		i++;
		if (i < word.size() && (word[i] == '+' || word[i] == '-'))
			i++;
		size_t exponent = 0;
		for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; i++)
			exponent++;
		if (exponent == 0)
			return false;
	}
	if (i != word.size())
		return false;
	std::string copy(word);
	value = std::strtod(copy.c_str(), nullptr);
	return std::isfinite(value);
}

void log_ignored(line_log &log, int line, std::string why)
{
	if (!log.ignored.empty() && log.ignored.back().why == why &&
	    log.ignored.back().last > log.last_taken) {
		log.ignored.back().last = line;
		return;
	}
	log.ignored.push_back({line, line, std::move(why)});
}

void log_taken(line_log &log, int line)
{
	log.last_taken = line;
}

std::string ignored_note(const ignored_run &run)
{
	std::string where = run.first == run.last ? "line " + std::to_string(run.first)
	                                          : "lines " + std::to_string(run.first) + "-" +
	                                                    std::to_string(run.last);
	return where + ": ignored: " + run.why;
}
