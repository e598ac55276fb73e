// Temporary copies of files under random names, created safely: each name
// is taken with an exclusive, owner-only create, and a name someone else
// holds moves on to another random name. Names that follow a pattern (the
// process id and a counter) could be planted ahead in the shared temporary
// directory, enough of them to make every copy fail.
#ifndef QUILLON_SERVER_TEMP_FILES_H_
#define QUILLON_SERVER_TEMP_FILES_H_

#include <cstdint>
#include <functional>
#include <string>

namespace quillon::server {

// The name for the random value `random` in `directory` (with its trailing
// separator): sixteen lower-case hex digits, then ".TMP".
std::string TempFileName(const std::string& directory, uint64_t random);

// Copies `from` to a new file in the temporary directory and returns its
// path. An empty `from` only picks a name that no file has now and creates
// nothing. Error 10002 when the source cannot be opened or read (or another
// writer holds it), 10003 when no copy can be created or written (or no
// free name turns up); a copy that failed half-way is removed.
std::string CreateTempCopy(const std::string& from);

// Replaces the source of random values (the kernel's) for tests; an empty
// function restores it.
void SetTempNameSourceForTesting(std::function<uint64_t()> source);

}  // namespace quillon::server

#endif  // QUILLON_SERVER_TEMP_FILES_H_
