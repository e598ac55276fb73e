// Temporary copies of files, named after the process and a process-wide
// counter like the peers name them, but created safely: each name is taken
// with an exclusive, owner-only create, and a name someone else holds
// moves on to the next counter value.
#ifndef QUILLON_SERVER_TEMP_FILES_H_
#define QUILLON_SERVER_TEMP_FILES_H_

#include <cstdint>
#include <string>

namespace quillon::server {

// The name for counter value `counter` in `directory` (with its trailing
// separator): the process id and the counter, each at least four
// lower-case hex digits, then ".TMP".
std::string TempFileName(const std::string& directory, int process_id, uint32_t counter);

// Copies `from` to a new file in the temporary directory and returns its
// path. An empty `from` only picks a name that no file has now and creates
// nothing. Error 10002 when the source cannot be opened or read (or another
// writer holds it), 10003 when no copy can be created or written; a copy
// that failed half-way is removed.
std::string CreateTempCopy(const std::string& from);

}  // namespace quillon::server

#endif  // QUILLON_SERVER_TEMP_FILES_H_
