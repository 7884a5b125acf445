#include "path.h"

std::string folder_of(std::string_view path)
{
	size_t slash = path.rfind('/');
	if (slash == std::string_view::npos)
		return ".";
	return slash == 0 ? "/" : std::string(path.substr(0, slash));
}

std::string base_of(std::string_view path)
{
	size_t slash = path.rfind('/');
	return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string beside(std::string_view path, std::string_view name)
{
	size_t slash = path.rfind('/');
	if ((!name.empty() && name[0] == '/') || slash == std::string_view::npos)
		return std::string(name);
	return std::string(path.substr(0, slash + 1)).append(name);
}
