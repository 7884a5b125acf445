#include "staged.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

staged_file::~staged_file()
{
	if (stream != nullptr)
		std::fclose(stream);
	if (!temp.empty() && !committed)
		unlink(temp.c_str());
}

std::string_view extension(std::string_view path)
{
	size_t slash = path.rfind('/');
	std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
	size_t dot = base.rfind('.');
	if (dot == std::string_view::npos || dot == 0)
		return {};
	return base.substr(dot + 1);
}

int stage(staged_file &file, const std::string &path)
{
	file.path = path;
	std::string pattern;
	if (path == "-") {
		const char *tmp = "/tmp";
		pattern = std::string(tmp) + "/firdesign.XXXXXX";
	} else {
		size_t slash = path.rfind('/');
		std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
		std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
		pattern = dir + "." + base + ".XXXXXX";
	}
	std::vector<char> name(pattern.begin(), pattern.end());
	name.push_back('\0');
	int fd = mkstemp(name.data());
	if (fd < 0)
		return errno;
	file.temp = name.data();
	// What a plain create would have given: 0666 less the umask.
	mode_t mask = umask(0);
	umask(mask);
	fchmod(fd, 0666 & ~mask);
	file.stream = fdopen(fd, "wb");
	if (file.stream == nullptr) {
		int e = errno;
		close(fd);
		return e;
	}
	return 0;
}

int finish(staged_file &file)
{
	if (file.stream == nullptr)
		return file.error;
	bool bad = std::ferror(file.stream) != 0;
	int e = errno;
	if (std::fclose(file.stream) != 0) {
		bad = true;
		e = errno;
	}
	file.stream = nullptr;
	if (bad && file.error == 0)
		file.error = e != 0 ? e : EIO;
	return file.error;
}

int commit(staged_file &file)
{
	if (file.path != "-") {
		if (rename(file.temp.c_str(), file.path.c_str()) != 0)
			return errno;
		file.committed = true;
		return 0;
	}
	FILE *in = std::fopen(file.temp.c_str(), "rb");
	if (in == nullptr)
		return errno;
	char chunk[65536];
	size_t n;
	int e = 0;
	while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
		if (std::fwrite(chunk, 1, n, stdout) != n) {
			e = errno != 0 ? errno : EIO;
			break;
		}
	if (e == 0 && std::ferror(in))
		e = EIO;
	std::fclose(in);
	if (e == 0 && std::fflush(stdout) != 0)
		e = errno != 0 ? errno : EIO;
	return e;
}

int write_text(staged_file &file, std::string_view text)
{
	std::fwrite(text.data(), 1, text.size(), file.stream);
	return finish(file);
}
