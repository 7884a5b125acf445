#include "staged.h"

#include "path.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

// Links followed by hand at most, as the kernel does.
constexpr int most_links = 40;

// The path without "." and ".." and links in its folders; 0 or errno.
int real_path(const std::string &path, std::string &real)
{
	char buffer[PATH_MAX];
	if (realpath(path.c_str(), buffer) == nullptr)
		return errno;
	real = buffer;
	return 0;
}

// Where a path that names nothing yet leads: through a dangling link to
// the file it names, in a folder that exists. 0 or errno.
int new_target(const std::string &path, std::string &target)
{
	std::string at = path;
	for (int i = 0; i < most_links; i++) {
		struct stat st;
		if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
			break;
		std::vector<char> text(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) +
		                       1);
		ssize_t n = readlink(at.c_str(), text.data(), text.size() - 1);
		if (n < 0)
			return errno;
		std::string next(text.data(), static_cast<size_t>(n));
		at = next[0] == '/' ? next : folder_of(at) + "/" + next;
	}
	std::string base = base_of(at);
	if (base.empty() || base == "." || base == "..")
		return EISDIR;
	std::string folder;
	if (int e = real_path(folder_of(at), folder))
		return e;
	target = (folder == "/" ? "" : folder) + "/" + base;
	return 0;
}

// The longest name the folder takes.
size_t longest_name(const std::string &folder)
{
	long n = pathconf(folder.c_str(), _PC_NAME_MAX);
	return n > 0 ? static_cast<size_t>(n) : NAME_MAX;
}

// A file beside target that no one uses yet, created with mode less the
// umask: its descriptor, or -1 with errno set.
int create_beside(const std::string &target, mode_t mode, std::string &temp)
{
	static const char letters[] =
	        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
	std::string folder = folder_of(target);
	std::string stem = temporary_stem(base_of(target), longest_name(folder));
	for (int attempt = 0; attempt < 100; attempt++) {
		unsigned char random[temporary_random];
		if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
			return -1;
		std::string name = folder + "/." + stem + ".";
		for (unsigned char r : random)
			name += letters[r % (sizeof letters - 1)];
		int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
		if (fd >= 0)
			temp = name;
		if (fd >= 0 || errno != EEXIST)
			return fd;
	}
	errno = EEXIST;
	return -1;
}

bool same_node(const struct stat &st, int fd)
{
	struct stat other;
	return fstat(fd, &other) == 0 && other.st_dev == st.st_dev && other.st_ino == st.st_ino;
}

// Every byte of the temporary file to out. 0 or errno.
int copy_to(int in, int out)
{
	char chunk[65536];
	off_t at = 0;
	for (;;) {
		ssize_t n = pread(in, chunk, sizeof chunk, at);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return errno;
		if (n == 0)
			return 0;
		at += n;
		for (ssize_t done = 0; done < n;) {
			ssize_t w = write(out, chunk + done, static_cast<size_t>(n - done));
			if (w < 0 && errno == EINTR)
				continue;
			if (w <= 0)
				return w < 0 ? errno : EIO;
			done += w;
		}
	}
}

// Flushes the folder of a renamed file; file systems that cannot are let be.
int sync_folder(const std::string &target)
{
	int dir = open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (dir < 0)
		return errno;
	int e = fsync(dir) == 0 || errno == EINVAL || errno == ENOTSUP ? 0 : errno;
	close(dir);
	return e;
}

// The owner and permission bits of the file replaced, given to the
// temporary file before its data is flushed: a crash never leaves a
// replaced file private.
int take_mode(const staged_file &file)
{
	if (!file.exists)
		return 0;
	struct stat st;
	if (fstat(file.fd, &st) != 0)
		return errno;
	// Only root may give a file away: elsewhere the owner stays ours.
	if (st.st_uid != file.uid || st.st_gid != file.gid) {
		int kept = fchown(file.fd, file.uid, file.gid);
		(void)kept;
	}
	return fchmod(file.fd, file.mode) == 0 ? 0 : errno;
}

int put_in_place(staged_file &file)
{
	if (rename(file.temp.c_str(), file.target.c_str()) != 0)
		return errno;
	file.committed = true;
	return 0;
}

// A file written in place: its bytes replaced by the temporary file's,
// through the descriptor opened when it was staged, then flushed.
int write_in_place(staged_file &file)
{
	// The path must still name the file opened.
	struct stat st;
	if (stat(file.target.c_str(), &st) != 0)
		return errno;
	if (!same_node(st, file.place_fd))
		return ESTALE;
	if (ftruncate(file.place_fd, 0) != 0 || lseek(file.place_fd, 0, SEEK_SET) != 0)
		return errno;
	if (int e = copy_to(file.fd, file.place_fd))
		return e;
	if (fsync(file.place_fd) != 0)
		return errno;
	file.committed = true;
	return 0;
}

// A file beside target could not be created: when the folder refuses
// (permission) and the file exists and may be written, the file is
// written in place instead, through a descriptor opened now. 0 or errno
// (the one of the refused create otherwise).
int stage_in_place(staged_file &file, int refused)
{
	if ((refused != EACCES && refused != EPERM) || !file.exists)
		return refused;
	int fd = open(file.target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
	if (fd < 0)
		return refused;
	struct stat st;
	if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != file.dev ||
	    st.st_ino != file.ino) {
		close(fd);
		return refused;
	}
	file.place_fd = fd;
	file.kind = output_kind::in_place;
	return 0;
}

// An unnamed temporary file: nothing to leave behind, whatever happens.
int create_unnamed()
{
	char name[] = "/tmp/.output.XXXXXX";
	int fd = mkstemp(name);
	if (fd >= 0)
		unlink(name);
	return fd;
}

bool is_stream(const staged_file &f)
{
	return f.kind == output_kind::standard || (f.kind == output_kind::device && !f.exists);
}

} // namespace

std::string temporary_stem(std::string_view name, size_t longest)
{
	size_t room = longest > temporary_random + 2 ? longest - temporary_random - 2 : 1;
	if (name.size() <= room)
		return std::string(name);
	size_t cut = room;
	// Never inside a UTF-8 character.
	while (cut > 1 && (static_cast<unsigned char>(name[cut]) & 0xc0) == 0x80)
		cut--;
	return std::string(name.substr(0, cut));
}

bool is_temporary_of(std::string_view candidate, std::string_view name, size_t longest)
{
	std::string head = "." + temporary_stem(name, longest) + ".";
	if (candidate.size() != head.size() + temporary_random || !candidate.starts_with(head))
		return false;
	return std::all_of(candidate.begin() + static_cast<long>(head.size()), candidate.end(),
	                   [](char c) {
		                   return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
		                          (c >= '0' && c <= '9');
	                   });
}

staged_file::~staged_file()
{
	if (stream != nullptr)
		std::fclose(stream);
	if (fd >= 0)
		close(fd);
	if (place_fd >= 0)
		close(place_fd);
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

int resolve(staged_file &file, const std::string &path)
{
	file.path = path;
	file.kind = output_kind::unknown;
	struct stat st;
	if (path == "-") {
		file.kind = output_kind::standard;
		file.direct_fd = STDOUT_FILENO;
		if (fstat(STDOUT_FILENO, &st) == 0 && !S_ISCHR(st.st_mode)) {
			file.exists = true;
			file.dev = st.st_dev;
			file.ino = st.st_ino;
		}
		return 0;
	}
	if (stat(path.c_str(), &st) != 0) {
		if (errno != ENOENT)
			return errno;
		if (int e = new_target(path, file.target))
			return e;
		file.kind = output_kind::replaced;
		return 0;
	}
	if (S_ISDIR(st.st_mode))
		return EISDIR;
	// A character device is a stream: it is never "the same file" twice,
	// so it keeps no identity.
	bool keep_identity = !S_ISCHR(st.st_mode);
	file.exists = keep_identity;
	file.dev = keep_identity ? st.st_dev : 0;
	file.ino = keep_identity ? st.st_ino : 0;
	for (int fd : {STDOUT_FILENO, STDERR_FILENO})
		if (same_node(st, fd)) {
			// /dev/stdout and the like, or the file the shell redirected
			// into: written through the descriptor, never replaced.
			file.kind = output_kind::standard;
			file.direct_fd = fd;
			return 0;
		}
	if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
		file.kind = output_kind::device;
		return 0;
	}
	if (!S_ISREG(st.st_mode))
		return EINVAL;
	if (int e = real_path(path, file.target))
		return e;
	file.kind = output_kind::replaced;
	file.mode = st.st_mode & 0777;
	file.uid = st.st_uid;
	file.gid = st.st_gid;
	return 0;
}

bool same_file(const staged_file &a, const staged_file &b)
{
	if (is_stream(a) || is_stream(b))
		return false;
	if (a.exists && b.exists)
		return a.dev == b.dev && a.ino == b.ino;
	return !a.exists && !b.exists && a.target == b.target;
}

bool overwrites(const staged_file &file, const char *path)
{
	if (!file.exists)
		return false;
	struct stat st;
	bool from_stdin = path == nullptr || std::strcmp(path, "-") == 0;
	if ((from_stdin ? fstat(STDIN_FILENO, &st) : stat(path, &st)) != 0 || S_ISCHR(st.st_mode))
		return false;
	return st.st_dev == file.dev && st.st_ino == file.ino;
}

int stage(staged_file &file, const std::string &path)
{
	if (file.kind == output_kind::unknown || file.path != path)
		if (int e = resolve(file, path))
			return e;
	int fd = -1;
	if (file.kind == output_kind::replaced) {
		// A new file is created as a plain create would make it, 0666 less
		// the umask, which it keeps; one that replaces a file stays
		// private until it takes that file's permission bits.
		fd = create_beside(file.target, file.exists ? 0600 : 0666, file.temp);
		if (fd < 0)
			if (int e = stage_in_place(file, errno))
				return e;
	}
	if (fd < 0) {
		fd = create_unnamed();
		if (fd < 0)
			return errno;
	}
	file.fd = fd;
	int copy = dup(fd);
	file.stream = copy < 0 ? nullptr : fdopen(copy, "wb");
	if (file.stream == nullptr) {
		int e = errno;
		if (copy >= 0)
			close(copy);
		return e;
	}
	return 0;
}

int finish(staged_file &file)
{
	if (file.stream != nullptr) {
		bool bad = std::ferror(file.stream) != 0;
		int e = errno;
		if (std::fclose(file.stream) != 0) {
			bad = true;
			e = errno;
		}
		file.stream = nullptr;
		if (bad && file.error == 0)
			file.error = e != 0 ? e : EIO;
		if (file.error == 0 && file.kind == output_kind::replaced) {
			file.error = take_mode(file);
			if (file.error == 0 && fsync(file.fd) != 0)
				file.error = errno;
		}
	}
	return file.error;
}

int commit(staged_file &file)
{
	if (file.error != 0)
		return file.error;
	switch (file.kind) {
	case output_kind::unknown: return EINVAL;
	case output_kind::replaced:
		if (int e = put_in_place(file))
			return e;
		return sync_folder(file.target);
	case output_kind::in_place: return write_in_place(file);
	case output_kind::device: {
		int out = open(file.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
		if (out < 0)
			return errno;
		int e = copy_to(file.fd, out);
		if (close(out) != 0 && e == 0)
			e = errno;
		file.committed = e == 0;
		return e;
	}
	case output_kind::standard: {
		std::fflush(file.direct_fd == STDERR_FILENO ? stderr : stdout);
		int e = copy_to(file.fd, file.direct_fd);
		file.committed = e == 0;
		return e;
	}
	}
	return EINVAL;
}

int commit_streams(std::span<staged_file *const> files, std::string_view standard_output,
                   size_t &failed)
{
	for (size_t i = 0; i < files.size(); i++) {
		failed = i;
		const staged_file &f = *files[i];
		if (f.error != 0)
			return f.error;
		struct stat st;
		if (f.kind == output_kind::replaced) {
			if (lstat(f.target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
				return EISDIR;
			if (fstat(f.fd, &st) != 0)
				return errno;
			if (st.st_nlink == 0)
				return ENOENT; // someone removed the temporary file
		}
	}
	for (size_t i = 0; i < files.size(); i++)
		if (files[i]->kind == output_kind::standard ||
		    files[i]->kind == output_kind::device)
			if (int e = commit(*files[i])) {
				failed = i;
				return e;
			}
	if (!standard_output.empty()) {
		failed = files.size();
		if (std::fwrite(standard_output.data(), 1, standard_output.size(), stdout) !=
		    standard_output.size())
			return errno != 0 ? errno : EIO;
	}
	// Text printed earlier (a report) may have failed on its way out: the
	// stream remembers.
	failed = files.size();
	errno = 0;
	if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
		return errno != 0 ? errno : EIO;
	return 0;
}

int commit_files(std::span<staged_file *const> files, size_t &failed)
{
	// Files written in place first: one that fails leaves the others as
	// they were.
	for (size_t i = 0; i < files.size(); i++)
		if (files[i]->kind == output_kind::in_place) {
			failed = i;
			if (int e = commit(*files[i]))
				return e;
		}
	std::vector<size_t> renamed;
	for (size_t i = 0; i < files.size(); i++)
		if (files[i]->kind == output_kind::replaced) {
			failed = i;
			if (files[i]->error != 0)
				return files[i]->error;
			if (int e = put_in_place(*files[i]))
				return e;
			renamed.push_back(i);
		}
	// Each folder once.
	for (size_t k = 0; k < renamed.size(); k++) {
		failed = renamed[k];
		std::string folder = folder_of(files[renamed[k]]->target);
		bool seen = false;
		for (size_t j = 0; j < k; j++)
			seen = seen || folder_of(files[renamed[j]]->target) == folder;
		if (!seen)
			if (int e = sync_folder(files[renamed[k]]->target))
				return e;
	}
	return 0;
}

int write_text(staged_file &file, std::string_view text)
{
	std::fwrite(text.data(), 1, text.size(), file.stream);
	return finish(file);
}
