// Where publications live and whom a caller believes: ProgIDs as endpoint
// names, the owner-only runtime directory, the trust check on a server's
// user, and the claim a publication lays on its socket path.
#ifndef QUILLON_COMPONENT_REMOTE_ENDPOINTS_H_
#define QUILLON_COMPONENT_REMOTE_ENDPOINTS_H_

#include <sys/types.h>

#include <set>
#include <string>
#include <string_view>

#include "quillon/component/remote.h"
#include "quillon/platform/handle.h"

namespace quillon::com::endpoints {

// A ProgID as an endpoint name: 1 to 80 letters, digits, '.', '_', '-'
// (not "." or ".."). False for anything else.
bool ValidProgId(std::u16string_view progid, std::string* name);

// The socket of `name` in the runtime directory `dir`.
std::string SocketPath(const std::string& dir, const std::string& name);
// The abstract name (without its leading NUL) other users reach.
std::string AbstractName(const std::string& name);

// The users a caller talks to, from ConnectOptions and $QUILLON_TRUST_USERS.
class Trust {
 public:
  explicit Trust(const ConnectOptions& options);
  bool Trusts(uid_t uid) const;

 private:
  bool own_user_;
  uid_t self_;
  std::set<uid_t> named_;
};

enum class Found {
  kConnected,  // *fd is connected to a trusted server
  kNothing,    // nobody listens under the name
  kUntrusted,  // only servers we do not trust listen under the name
};

// Looks for the publication of `name`: the runtime directory's socket
// first, then the abstract name. An untrusted server is hung up on at once
// and the next place is tried; a socket nobody listens on (left by a
// publisher that died) is nothing.
Found OpenEndpoint(const std::string& name, const Trust& trust, platform::UniqueFd* fd);

// Makes `path` free for a new publication's socket: S_OK when nothing is
// there, or when a socket of the effective user that nobody listens on was
// removed; CO_E_ALREADY_PUBLISHED when a publication listens there;
// E_ACCESSDENIED when something else stands there; E_FAIL when it cannot be
// told.
HRESULT ClaimSocketPath(const std::string& path);

}  // namespace quillon::com::endpoints

#endif  // QUILLON_COMPONENT_REMOTE_ENDPOINTS_H_
