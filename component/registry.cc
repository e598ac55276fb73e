// The class registry's store: tree, text form and file transactions.
#include "quillon/component/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "quillon/platform/handle.h"

namespace quillon::com::registry {
namespace {

constexpr char kDefaultPath[] = "/var/lib/quillon/registry";
constexpr char kFileHeader[] = "; Quillon registry 1\n";
// Deep enough for any class root; bounds the recursion of copy, export and
// destruction whatever a damaged file holds.
constexpr size_t kMaxKeyDepth = 512;

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Fold(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = FoldAscii(c);
  return out;
}

// Length of the well-formed UTF-8 sequence starting at s[i] (RFC 3629:
// no overlong forms, no surrogates, nothing above U+10FFFF), or 0.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  const auto b1 = static_cast<unsigned char>(s[i + 1]);
  if (b1 < lo || b1 > hi) return 0;
  for (size_t k = 2; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < 0x80 || b > 0xBF) return 0;
  }
  return len;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

bool ValidKeyName(std::string_view name) {
  if (name.empty() || name.size() > kMaxKeyNameBytes) return false;
  for (size_t i = 0; i < name.size();) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c == '\\' || IsControl(c)) return false;
    const size_t len = Utf8SequenceLength(name, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// Splits a key path into its names; nullopt when any name is malformed.
std::optional<std::vector<std::string_view>> SplitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t end = path.find('\\', start);
    std::string_view part =
        path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!ValidKeyName(part) || parts.size() == kMaxKeyDepth) return std::nullopt;
    parts.push_back(part);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

void AppendQuoted(std::string* out, std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out->push_back('"');
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '\\': out->append("\\\\"); ++i; continue;
      case '"': out->append("\\\""); ++i; continue;
      case '\n': out->append("\\n"); ++i; continue;
      case '\r': out->append("\\r"); ++i; continue;
      case '\t': out->append("\\t"); ++i; continue;
      default: break;
    }
    const size_t len = IsControl(c) ? 0 : Utf8SequenceLength(s, i);
    if (len == 0) {
      out->append("\\x");
      out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 0xF]);
      ++i;
    } else {
      out->append(s.substr(i, len));
      i += len;
    }
  }
  out->push_back('"');
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads a quoted string at line[*pos] (the opening quote), advancing *pos
// past the closing quote. Returns a reason on failure.
std::optional<std::string> ReadQuoted(std::string_view line, size_t* pos, std::string* out) {
  size_t i = *pos;
  if (i >= line.size() || line[i] != '"') return "expected '\"'";
  ++i;
  out->clear();
  while (true) {
    if (i >= line.size()) return "unterminated string";
    const char c = line[i];
    if (c == '"') break;
    if (c == '\\') {
      if (i + 1 >= line.size()) return "unterminated string";
      const char e = line[i + 1];
      switch (e) {
        case '\\': out->push_back('\\'); break;
        case '"': out->push_back('"'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'x': {
          const int hi = i + 2 < line.size() ? HexDigit(line[i + 2]) : -1;
          const int lo = i + 3 < line.size() ? HexDigit(line[i + 3]) : -1;
          if (hi < 0 || lo < 0) return "bad \\x escape";
          out->push_back(static_cast<char>(hi * 16 + lo));
          i += 2;
          break;
        }
        default:
          return "unknown escape";
      }
      i += 2;
      continue;
    }
    if (IsControl(static_cast<unsigned char>(c)) && c != '\t') return "control character in string";
    out->push_back(c);
    ++i;
  }
  *pos = i + 1;
  return std::nullopt;
}

bool OnlyBlanksFrom(std::string_view line, size_t pos) {
  for (size_t i = pos; i < line.size(); ++i) {
    if (line[i] != ' ' && line[i] != '\t') return false;
  }
  return true;
}

std::string ErrnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

using quillon::platform::UniqueFd;

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

constexpr char kTempInfix[] = ".tmp-";

// A temporary file lives only while its writer holds the lock, so under the
// lock every one found belongs to a writer that died before its rename.
void RemoveOrphanedTemporaries(const std::filesystem::path& file) {
  const std::string prefix = file.filename().string() + kTempInfix;
  std::error_code ec;
  std::filesystem::path dir = file.parent_path();
  if (dir.empty()) dir = ".";
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0) {
      std::error_code ignored;
      std::filesystem::remove(it->path(), ignored);
    }
  }
}

std::mutex& HookMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<HRESULT(const std::string&)>& Hook() {
  static std::function<HRESULT(const std::string&)> hook;
  return hook;
}

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

}  // namespace

std::string DefaultPath() {
  const char* env = std::getenv("QUILLON_REGISTRY");
  if (env != nullptr && *env != '\0') return env;
  return kDefaultPath;
}

// ---------------------------------------------------------------------------
// Tree

struct Tree::Node {
  std::string name;
  // Folded value name -> (name as first written, value); "" is the default.
  std::map<std::string, std::pair<std::string, std::string>> values;
  // Folded key name -> subkey.
  std::map<std::string, std::unique_ptr<Node>> children;

  std::unique_ptr<Node> Clone() const {
    auto copy = std::make_unique<Node>();
    copy->name = name;
    copy->values = values;
    for (const auto& [folded, child] : children) copy->children.emplace(folded, child->Clone());
    return copy;
  }

  void Export(std::string* prefix, std::string* out) const {
    for (const auto& [folded, child] : children) {
      const size_t mark = prefix->size();
      if (!prefix->empty()) prefix->push_back('\\');
      prefix->append(child->name);
      out->append("\n[");
      out->append(*prefix);
      out->append("]\n");
      for (const auto& [vfolded, entry] : child->values) {
        if (entry.first.empty()) {
          out->push_back('@');
        } else {
          AppendQuoted(out, entry.first);
        }
        out->push_back('=');
        AppendQuoted(out, entry.second);
        out->push_back('\n');
      }
      child->Export(prefix, out);
      prefix->resize(mark);
    }
  }
};

Tree::Tree() : root_(std::make_unique<Node>()) {}
Tree::~Tree() = default;
Tree::Tree(const Tree& other) : root_(other.root_->Clone()) {}
Tree& Tree::operator=(const Tree& other) {
  if (this != &other) root_ = other.root_->Clone();
  return *this;
}
Tree::Tree(Tree&& other) noexcept : root_(std::exchange(other.root_, std::make_unique<Node>())) {}
Tree& Tree::operator=(Tree&& other) noexcept {
  std::swap(root_, other.root_);
  return *this;
}

namespace {

template <class NodeT>
NodeT* FindNode(NodeT* root, std::string_view path) {
  auto parts = SplitPath(path);
  if (!parts) return nullptr;
  NodeT* node = root;
  for (std::string_view part : *parts) {
    auto it = node->children.find(Fold(part));
    if (it == node->children.end()) return nullptr;
    node = it->second.get();
  }
  return node;
}

}  // namespace

bool Tree::empty() const { return root_->children.empty(); }

bool Tree::KeyExists(std::string_view path) const {
  return FindNode<const Node>(root_.get(), path) != nullptr;
}

std::optional<std::string> Tree::GetValue(std::string_view path, std::string_view name) const {
  const Node* node = FindNode<const Node>(root_.get(), path);
  if (node == nullptr) return std::nullopt;
  auto it = node->values.find(Fold(name));
  if (it == node->values.end()) return std::nullopt;
  return it->second.second;
}

std::vector<std::string> Tree::SubkeyNames(std::string_view path) const {
  std::vector<std::string> names;
  if (const Node* node = FindNode<const Node>(root_.get(), path)) {
    for (const auto& [folded, child] : node->children) names.push_back(child->name);
  }
  return names;
}

std::vector<std::pair<std::string, std::string>> Tree::Values(std::string_view path) const {
  std::vector<std::pair<std::string, std::string>> values;
  if (const Node* node = FindNode<const Node>(root_.get(), path)) {
    for (const auto& [folded, entry] : node->values) values.push_back(entry);
  }
  return values;
}

HRESULT Tree::CreateKey(std::string_view path) {
  auto parts = SplitPath(path);
  if (!parts) return E_INVALIDARG;
  Node* node = root_.get();
  for (std::string_view part : *parts) {
    auto& slot = node->children[Fold(part)];
    if (!slot) {
      slot = std::make_unique<Node>();
      slot->name = std::string(part);
    }
    node = slot.get();
  }
  return S_OK;
}

HRESULT Tree::SetValue(std::string_view path, std::string_view name, std::string_view value) {
  if (name.size() > kMaxValueNameBytes) return E_INVALIDARG;
  if (HRESULT hr = CreateKey(path); Failed(hr)) return hr;
  Node* node = FindNode<Node>(root_.get(), path);
  auto [it, inserted] = node->values.try_emplace(Fold(name), std::string(name), std::string());
  it->second.second.assign(value);
  return S_OK;
}

bool Tree::DeleteValue(std::string_view path, std::string_view name) {
  Node* node = FindNode<Node>(root_.get(), path);
  return node != nullptr && node->values.erase(Fold(name)) > 0;
}

namespace {

// The parent of the key at `path` and the key's folded name.
template <class NodeT>
std::pair<NodeT*, std::string> FindParent(NodeT* root, std::string_view path) {
  const size_t slash = path.rfind('\\');
  std::string_view leaf = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (!ValidKeyName(leaf)) return {nullptr, {}};
  NodeT* parent = slash == std::string_view::npos ? root : FindNode(root, path.substr(0, slash));
  return {parent, Fold(leaf)};
}

}  // namespace

bool Tree::DeleteTree(std::string_view path) {
  auto [parent, leaf] = FindParent(root_.get(), path);
  return parent != nullptr && parent->children.erase(leaf) > 0;
}

bool Tree::DeleteKeyIfEmpty(std::string_view path) {
  auto [parent, leaf] = FindParent(root_.get(), path);
  if (parent == nullptr) return false;
  auto it = parent->children.find(leaf);
  if (it == parent->children.end() || !it->second->values.empty() ||
      !it->second->children.empty()) {
    return false;
  }
  parent->children.erase(it);
  return true;
}

std::string Tree::Export() const {
  std::string out = kFileHeader;
  std::string prefix;
  root_->Export(&prefix, &out);
  return out;
}

HRESULT Tree::Parse(std::string_view text, std::string* error) {
  Tree parsed;
  std::string current;  // path of the key opened last
  bool have_key = false;
  std::string name, value;
  size_t line_number = 0;
  auto fail = [&](std::string_view reason) {
    SetError(error, "line " + std::to_string(line_number) + ": " + std::string(reason));
    return REGDB_E_READREGDB;
  };
  if (text.size() > kMaxFileBytes) {
    line_number = 0;
    return fail("file too large");
  }
  size_t start = 0;
  while (start < text.size()) {
    ++line_number;
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (OnlyBlanksFrom(line, 0) || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.find_last_not_of(" \t");
      if (line[close] != ']' || close == 0) return fail("malformed key line");
      std::string_view path = line.substr(1, close - 1);
      if (Failed(parsed.CreateKey(path))) return fail("malformed key path");
      current.assign(path);
      have_key = true;
      continue;
    }
    size_t pos = 0;
    if (line.front() == '@') {
      name.clear();
      pos = 1;
    } else if (line.front() == '"') {
      if (auto reason = ReadQuoted(line, &pos, &name)) return fail(*reason);
      if (name.empty()) return fail("empty value name (the default value is written @)");
      if (name.size() > kMaxValueNameBytes) return fail("value name too long");
    } else {
      return fail("unexpected text");
    }
    if (pos >= line.size() || line[pos] != '=') return fail("expected '='");
    ++pos;
    if (auto reason = ReadQuoted(line, &pos, &value)) return fail(*reason);
    if (!OnlyBlanksFrom(line, pos)) return fail("text after value");
    if (!have_key) return fail("value outside a key");
    parsed.SetValue(current, name, value);
  }
  std::swap(root_, parsed.root_);
  return S_OK;
}

// ---------------------------------------------------------------------------
// Files

HRESULT Load(const std::string& path, Tree* tree, std::string* error) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) {
      *tree = Tree();
      return S_OK;
    }
    SetError(error, ErrnoText("cannot open", path));
    return REGDB_E_READREGDB;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    SetError(error, ErrnoText("cannot stat", path));
    return REGDB_E_READREGDB;
  }
  if (!S_ISREG(st.st_mode)) {
    SetError(error, path + " is not a regular file");
    return REGDB_E_READREGDB;
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxFileBytes) {
    SetError(error, path + " is larger than the registry allows");
    return REGDB_E_READREGDB;
  }
  std::string text;
  try {
    text.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    // The file may grow between fstat and read only through a writer that
    // bypasses the rename protocol; read what fstat promised plus any tail.
    while (true) {
      if (got == text.size()) text.resize(got + 4096);
      const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        SetError(error, ErrnoText("cannot read", path));
        return REGDB_E_READREGDB;
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
      if (got > kMaxFileBytes) {
        SetError(error, path + " is larger than the registry allows");
        return REGDB_E_READREGDB;
      }
    }
    text.resize(got);
    std::string reason;
    Tree parsed;
    if (parsed.Parse(text, &reason) != S_OK) {
      SetError(error, path + ": " + reason);
      return REGDB_E_READREGDB;
    }
    *tree = std::move(parsed);
  } catch (const std::bad_alloc&) {
    SetError(error, "out of memory reading " + path);
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT LoadShared(const std::string& path, std::shared_ptr<const Tree>* tree,
                   std::string* error) {
  struct Stamp {
    dev_t dev;
    ino_t ino;
    off_t size;
    int64_t mtime_ns;
    int64_t ctime_ns;
    bool operator==(const Stamp&) const = default;
  };
  struct Entry {
    Stamp stamp;
    std::shared_ptr<const Tree> tree;
  };
  static std::mutex mutex;
  static auto* cache = new std::map<std::string, Entry>;  // outlives static destructors
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      SetError(error, ErrnoText("cannot stat", path));
      return REGDB_E_READREGDB;
    }
    static const auto* empty = new std::shared_ptr<const Tree>(std::make_shared<const Tree>());
    *tree = *empty;
    return S_OK;
  }
  const Stamp stamp{st.st_dev, st.st_ino, st.st_size,
                    st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec,
                    st.st_ctim.tv_sec * 1'000'000'000LL + st.st_ctim.tv_nsec};
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = cache->find(path);
    if (it != cache->end() && it->second.stamp == stamp) {
      *tree = it->second.tree;
      return S_OK;
    }
  }
  // A file replaced after the stat above is read in its new form and kept
  // under the old stamp; the next call sees another stamp and reads again.
  try {
    auto fresh = std::make_shared<Tree>();
    if (HRESULT hr = Load(path, fresh.get(), error); hr != S_OK) return hr;
    std::lock_guard<std::mutex> lock(mutex);
    (*cache)[path] = Entry{stamp, fresh};
    *tree = std::move(fresh);
  } catch (const std::bad_alloc&) {
    SetError(error, "out of memory reading " + path);
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

void SetBeforeCommitHookForTesting(std::function<HRESULT(const std::string&)> hook) {
  std::lock_guard<std::mutex> lock(HookMutex());
  Hook() = std::move(hook);
}

HRESULT Transact(const std::string& path, const std::function<HRESULT(Tree&)>& change,
                 std::string* error) {
  namespace fs = std::filesystem;
  try {
    const fs::path file(path);
    fs::path dir = file.parent_path();
    if (dir.empty()) dir = ".";
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
      SetError(error, "cannot create directory " + dir.string() + ": " + ec.message());
      return REGDB_E_WRITEREGDB;
    }

    // The lock lives in its own file because the store itself is replaced
    // by rename: a lock on the old inode would not exclude the next writer.
    const std::string lock_path = path + ".lock";
    UniqueFd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (lock.get() < 0) {
      SetError(error, ErrnoText("cannot open lock file", lock_path));
      return REGDB_E_WRITEREGDB;
    }
    while (::flock(lock.get(), LOCK_EX) != 0) {
      if (errno != EINTR) {
        SetError(error, ErrnoText("cannot lock", lock_path));
        return REGDB_E_WRITEREGDB;
      }
    }

    Tree tree;
    if (HRESULT hr = Load(path, &tree, error); Failed(hr)) return hr;
    const std::string before = tree.Export();
    if (HRESULT hr = change(tree); Failed(hr)) return hr;
    const std::string after = tree.Export();
    if (after == before) return S_OK;

    mode_t mode = 0644;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;

    RemoveOrphanedTemporaries(file);
    std::string temp_path = path + kTempInfix + "XXXXXX";
    UniqueFd temp(::mkostemp(temp_path.data(), O_CLOEXEC));
    if (temp.get() < 0) {
      SetError(error, ErrnoText("cannot create temporary file beside", path));
      return REGDB_E_WRITEREGDB;
    }
    struct RemoveUnlessCommitted {
      const std::string& temp_path;
      bool committed = false;
      ~RemoveUnlessCommitted() {
        if (!committed) ::unlink(temp_path.c_str());
      }
    } cleanup{temp_path};

    if (::fchmod(temp.get(), mode) != 0 || !WriteAll(temp.get(), after) ||
        ::fsync(temp.get()) != 0 || !temp.Close()) {
      SetError(error, ErrnoText("cannot write", temp_path));
      return REGDB_E_WRITEREGDB;
    }

    std::function<HRESULT(const std::string&)> hook;
    {
      std::lock_guard<std::mutex> hook_lock(HookMutex());
      hook = Hook();
    }
    if (hook) {
      if (HRESULT hr = hook(temp_path); Failed(hr)) {
        SetError(error, "transaction aborted before commit");
        return hr;
      }
    }

    if (::rename(temp_path.c_str(), path.c_str()) != 0) {
      SetError(error, ErrnoText("cannot replace", path));
      return REGDB_E_WRITEREGDB;
    }
    cleanup.committed = true;
    // Make the rename itself durable; the data already is.
    UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd.get() >= 0) ::fsync(dir_fd.get());
    return S_OK;
  } catch (const std::bad_alloc&) {
    SetError(error, "out of memory");
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    // A change function must not throw; the store is untouched either way.
    SetError(error, std::string("transaction failed: ") + e.what());
    return E_UNEXPECTED;
  }
}

}  // namespace quillon::com::registry
