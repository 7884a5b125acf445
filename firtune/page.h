// The page's files, compiled into the binary at build time: served by exact
// name, nothing reaches the file system.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

struct page_file {
	std::string_view name; // as served after '/'
	std::string_view type; // Content-Type
	const unsigned char *data;
	size_t size;
};

std::span<const page_file> page_files();
