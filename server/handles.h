// The handles behind _InternalPointer: a 32-bit number per live QServer,
// since a pointer does not fit in the property's 32-bit integer on a
// 64-bit system. Process-wide; the table is locked because objects of
// different threads may come and go at the same time.
#ifndef QUILLON_SERVER_HANDLES_H_
#define QUILLON_SERVER_HANDLES_H_

#include <cstdint>
#include <vector>

namespace quillon::server {

class QServer;

// A new handle for `server`: never 0 and never one a live object holds.
int32_t RegisterServerHandle(QServer* server);
void UnregisterServerHandle(int32_t handle);
// The live object with `handle`, or nullptr.
QServer* LookupServerHandle(int32_t handle);
// Every live object, for the process's last moments (std::terminate): the
// table is only tried, never waited for, so that a thread that died holding
// it cannot hang the end; empty then.
std::vector<QServer*> LiveServersAtTermination();

}  // namespace quillon::server

#endif  // QUILLON_SERVER_HANDLES_H_
