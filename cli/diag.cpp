#include "diag.h"

#include <cstdarg>
#include <cstdio>

bool quiet = false;

void diag(const char *format, ...)
{
	if (quiet)
		return;
	va_list ap;
	va_start(ap, format);
	std::vfprintf(stderr, format, ap);
	va_end(ap);
}
