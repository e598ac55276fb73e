// Whole-file reading and writing with the sharing rules of the toolkit's
// file operations, temporary files, environment and process identity.
#ifndef QUILLON_PLATFORM_FILES_H_
#define QUILLON_PLATFORM_FILES_H_

#include <optional>
#include <string>
#include <string_view>

namespace quillon::platform {

// Reads the whole file. "Others denied writing": the file is held with a
// shared advisory lock while it is read, and a file that another writer
// holds fails the read. On failure returns false with errno set, and *out
// is unchanged.
bool ReadWholeFile(const std::string& path, std::string* out);

// Creates or truncates `path` and writes all of `bytes`; the file is held
// with an exclusive advisory lock while it is written. Only a regular file
// is cut to length; a device or pipe (/dev/null, /dev/stdout) just takes the
// bytes. On failure returns false with errno set.
bool WriteWholeFile(const std::string& path, std::string_view bytes);

// Creates `path`, which must not exist (EEXIST otherwise; a symbolic link
// counts as existing and is never followed), owner-only (0600), and writes
// all of `bytes`. On failure returns false with errno set.
bool WriteNewFile(const std::string& path, std::string_view bytes);

// Creates `path` exclusively (it must not exist) with owner-only
// permissions (0600) and returns its descriptor, or -1 with errno set.
int CreateExclusive(const std::string& path);

// The directory for temporary files with its trailing separator: TMPDIR
// when it names a directory, else "/tmp/".
std::string TempDirectory();

// Removes a file; a missing file is no error.
void RemoveFile(const std::string& path);

int ProcessId();

// The process environment; nullopt when the variable is not set.
std::optional<std::string> GetEnv(const std::string& name);

}  // namespace quillon::platform

#endif  // QUILLON_PLATFORM_FILES_H_
