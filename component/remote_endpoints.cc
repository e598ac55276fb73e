#include "component/remote_endpoints.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "component/remote_transport.h"

namespace quillon::com {

using transport::Env;
using transport::UniqueFd;

HRESULT RuntimeDirectory(std::string* dir) {
  std::string path = Env("QUILLON_RUNTIME_DIR");
  if (path.empty()) {
    const std::string xdg = Env("XDG_RUNTIME_DIR");
    path = !xdg.empty() ? xdg + "/quillon" : "/tmp/quillon-" + std::to_string(::geteuid());
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return E_ACCESSDENIED;
  struct stat st {};
  // lstat: a symbolic link planted in /tmp must not lead us elsewhere.
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & 077) != 0) {
    return E_ACCESSDENIED;
  }
  *dir = std::move(path);
  return S_OK;
}

namespace endpoints {

constexpr size_t kMaxProgIdChars = 80;

bool ValidProgId(std::u16string_view progid, std::string* name) {
  if (progid.empty() || progid.size() > kMaxProgIdChars) return false;
  name->clear();
  for (char16_t c : progid) {
    const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                    (c >= u'0' && c <= u'9') || c == u'.' || c == u'_' || c == u'-';
    if (!ok) return false;
    name->push_back(static_cast<char>(c));
  }
  return *name != "." && *name != "..";
}

std::string SocketPath(const std::string& dir, const std::string& name) {
  return dir + "/" + name + ".sock";
}

std::string AbstractName(const std::string& name) { return "quillon/" + name; }

Trust::Trust(const ConnectOptions& options)
    : own_user_(options.trust_own_user), self_(::geteuid()) {
  std::string users = Env("QUILLON_TRUST_USERS");
  for (const std::string& user : options.trust_users) users += "," + user;
  // A name without a user trusts nobody; the others still count.
  transport::ParseUsers(users, &named_);
}

bool Trust::Trusts(uid_t uid) const {
  if (named_.count(uid) != 0) return true;
  if (uid == self_) return own_user_;
  // Root can read our memory whatever we decide, unless root is us (then
  // the rule for our own user decides, above).
  return uid == 0;
}

Found OpenEndpoint(const std::string& name, const Trust& trust, UniqueFd* fd) {
  bool untrusted = false;
  auto try_one = [&](UniqueFd candidate) {
    if (!candidate) return false;
    uid_t uid = 0;
    if (transport::PeerUid(candidate.get(), &uid) && trust.Trusts(uid)) {
      *fd = std::move(candidate);
      return true;
    }
    untrusted = true;
    return false;
  };
  std::string dir;
  if (Succeeded(RuntimeDirectory(&dir)) &&
      try_one(transport::ConnectTo(SocketPath(dir, name), false))) {
    return Found::kConnected;
  }
  if (try_one(transport::ConnectTo(AbstractName(name), true))) return Found::kConnected;
  return untrusted ? Found::kUntrusted : Found::kNothing;
}

HRESULT ClaimSocketPath(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? S_OK : E_FAIL;
  if (!S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid()) return E_ACCESSDENIED;
  if (UniqueFd live = transport::ConnectTo(path, false); live) return CO_E_ALREADY_PUBLISHED;
  switch (errno) {
    case ECONNREFUSED:  // nobody listens: its publisher died
      return ::unlink(path.c_str()) == 0 || errno == ENOENT ? S_OK : E_FAIL;
    case EAGAIN:  // a live publication with a full backlog
      return CO_E_ALREADY_PUBLISHED;
    default:  // out of descriptors ...: nothing known, nothing removed
      return E_FAIL;
  }
}

}  // namespace endpoints
}  // namespace quillon::com
