#include "server/handles.h"

#include <mutex>
#include <unordered_map>

namespace quillon::server {
namespace {

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<int32_t, QServer*> servers;
  uint32_t next = 1;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // outlives static destructors
  return *table;
}

}  // namespace

int32_t RegisterServerHandle(QServer* server) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  for (;;) {
    const auto handle = static_cast<int32_t>(table.next++);
    if (handle == 0 || table.servers.count(handle) != 0) continue;
    table.servers.emplace(handle, server);
    return handle;
  }
}

void UnregisterServerHandle(int32_t handle) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.servers.erase(handle);
}

QServer* LookupServerHandle(int32_t handle) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.servers.find(handle);
  return it == table.servers.end() ? nullptr : it->second;
}

std::vector<QServer*> LiveServersAtTermination() {
  HandleTable& table = Table();
  std::vector<QServer*> live;
  std::unique_lock<std::mutex> lock(table.mutex, std::try_to_lock);
  if (!lock.owns_lock()) return live;
  for (const auto& [handle, server] : table.servers) live.push_back(server);
  return live;
}

}  // namespace quillon::server
