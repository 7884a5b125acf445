// Output files written all or nothing: what a run writes goes to a
// temporary file first and reaches its destination only once the whole run
// has succeeded, so a failing run leaves no new file and never replaces or
// truncates an existing one.
//
// Where an output goes depends on what its path names:
//  - a new path or a regular file: a temporary file beside it, renamed into
//    place, keeping the permission bits (and, where allowed, the owner) of
//    the file it replaces; a new file gets 0666 less the umask. Being a
//    new file, it breaks hard links and does not keep ACLs or file flags;
//  - a regular file that may be written in a folder that may not: written
//    in place (truncated, then written) at commit, before any file is
//    renamed, from a temporary file that has no name;
//  - a symbolic link: followed, and the file it leads to replaced that way;
//    the link stays;
//  - "-", the process's own standard output or error, a character device or
//    a FIFO: written directly, at commit time, from a temporary file that
//    has no name;
//  - a directory, or anything else: refused.
// Each file is flushed to the disk before it is renamed, and its folder
// after.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

enum class output_kind {
	unknown,  // not resolved yet
	replaced, // a new or regular file, renamed into place
	device,   // a character device or a FIFO, opened and written at commit
	standard, // standard output or error, written through its descriptor
	in_place, // a regular file whose folder refused a temporary file
};

struct staged_file {
	std::string path;   // as given; "-" for standard output
	std::string target; // the file replaced: links followed (replaced only)
	std::string temp;   // the temporary file beside target (replaced only)
	output_kind kind = output_kind::unknown;
	int direct_fd = -1;  // standard: 1 or 2
	bool exists = false; // the destination exists: dev and ino name it
	dev_t dev = 0;
	ino_t ino = 0;
	mode_t mode = 0; // an existing file: its permission bits, kept
	uid_t uid = 0;
	gid_t gid = 0;
	FILE *stream = nullptr; // what is written now
	int fd = -1;            // the temporary file, kept open until the end
	int place_fd = -1;      // in_place: the file itself, open for writing
	bool committed = false;
	int error = 0; // errno of the first failure

	staged_file() = default;
	staged_file(const staged_file &) = delete;
	staged_file &operator=(const staged_file &) = delete;
	~staged_file(); // removes the temporary file unless committed
};

// Decides where path goes, touching nothing: EISDIR for a directory,
// EINVAL for a socket or a block device, or the errno of a folder that
// cannot be reached. 0 on success.
int resolve(staged_file &file, const std::string &path);

// Whether two resolved outputs end in the same file: the same file on disk,
// or the same new path once links and folders are resolved. Outputs that
// are written as streams (standard output, character devices) are never
// the same file.
bool same_file(const staged_file &a, const staged_file &b);

// Whether a resolved output would write over the file at path ("-" or null:
// standard input) that the run reads. Character devices never count.
bool overwrites(const staged_file &file, const char *path);

// Temporary files beside their targets are named ".STEM.XXXXXXXX": STEM
// the target's name, cut short (never inside a UTF-8 character) when the
// whole would be longer than the folder's longest name, X letters and
// digits at random.
inline constexpr size_t temporary_random = 8;
std::string temporary_stem(std::string_view name, size_t longest);

// Whether candidate, a name in a folder whose longest name is longest, is
// one a temporary file of the file called name would have.
bool is_temporary_of(std::string_view candidate, std::string_view name, size_t longest = 255);

// Resolves path unless it was resolved already, then creates the
// temporary file: beside the target, or, where the folder refuses it
// (EACCES, EPERM) and the target is a regular file that may be written,
// without a name, the target then written in place (kind in_place). 0 on
// success, else errno.
int stage(staged_file &file, const std::string &path);

// Closes the stream (if still open), checking that every byte reached the
// file, gives a replacing file the replaced one's owner and permission
// bits, and flushes it to the disk. 0 on success, else errno.
int finish(staged_file &file);

// Renames the temporary file into place (then flushes its folder), or
// copies it to its device, descriptor or, in place, to its file. 0 on
// success, else errno.
int commit(staged_file &file);

// A set of finished files committed as one, in two steps so that a caller
// can keep signals out of the second: commit_streams checks every
// destination again, then sends the outputs written directly and the text
// for standard output; only then does commit_files rename the files, so
// that a failure before the renames leaves every existing file as it was.
// Files written in place are written by commit_files, before the renames.
// On failure each returns errno and sets failed to the index of the file
// (or files.size() for the text).
int commit_streams(std::span<staged_file *const> files, std::string_view standard_output,
                   size_t &failed);
int commit_files(std::span<staged_file *const> files, size_t &failed);

// The extension of a path: the text after its last '.' in its last
// component, or "" when it has none.
std::string_view extension(std::string_view path);

// The bytes as they are, then finish.
int write_text(staged_file &file, std::string_view text);
