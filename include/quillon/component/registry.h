// The class registry: a hierarchical store of keys and string values shaped
// like the class root of the component platform (ProgID\CLSID,
// CLSID\{...}\InprocServer32, TypeLib\{...}\3.4 ...), kept in one text file.
//
// Keys and paths. A key path is a list of key names joined by backslashes
// ("CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}\InprocServer32"). A key name
// is 1 to 255 bytes of valid UTF-8 without backslashes or control characters.
// Key names and value names compare case-insensitively (ASCII letters fold;
// every other byte compares exactly) and keep the case they were first
// written with. Every key has an optional default value (value name "") and
// any number of named string values; a value is any byte string.
//
// Where the store lives: the file named by the environment variable
// QUILLON_REGISTRY when it is set and not empty, else /var/lib/quillon/registry.
// A missing file is an empty store. Its directory is created on first write.
//
// File format (UTF-8 text, one item per line, "\n" line ends; "\r\n" is
// accepted on reading):
//
//   ; Quillon registry 1
//   [CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}\InprocServer32]
//   @="/usr/lib/libqserver.so"
//   "ThreadingModel"="Apartment"
//
// - Lines starting with ";" are comments; blank lines are ignored.
// - "[" key path "]" opens a key (creating it and its parents); every key of
//   the store is written as such a line, parents before children, so keys
//   without values survive a round trip.
// - `@=` sets the default value, `"name"=` a named value, of the key opened
//   last. Both sides are quoted strings in which `\\`, `\"`, `\n`, `\r`, `\t`
//   and `\xHH` are the only escapes; the writer escapes every control byte
//   and every byte that is not part of valid UTF-8 with `\xHH`, so any byte
//   string survives. A later value of the same name replaces an earlier one.
// - Keys are written in the order of their case-folded names; within a key
//   the default value comes first, then the named values in case-folded
//   order. Equal stores therefore give equal files.
//
// Writing is transactional: Transact takes an exclusive lock on
// "<file>.lock", reads the file again, applies the change, writes a new file
// in the same directory, flushes it to disk and renames it over the store.
// Readers take no lock: they see the store before or after a transaction,
// never half of one. A process killed in mid-write leaves the previous store
// intact and at worst a temporary file "<file>.tmp-XXXXXX" beside it, which
// the next transaction removes. Concurrent writers in any number of
// processes and threads lose nothing.
//
// Thread safety: a Tree is a plain value (no locking); the free functions may
// be called from any thread.
#ifndef QUILLON_COMPONENT_REGISTRY_H_
#define QUILLON_COMPONENT_REGISTRY_H_

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillon/component/types.h"

namespace quillon::com::registry {

// Limits, also applied when reading a file.
inline constexpr size_t kMaxKeyNameBytes = 255;
inline constexpr size_t kMaxValueNameBytes = 16383;
inline constexpr size_t kMaxFileBytes = size_t{64} << 20;

// The store's file: $QUILLON_REGISTRY, else /var/lib/quillon/registry.
QUILLON_RUNTIME_API std::string DefaultPath();

// The whole store in memory.
class QUILLON_RUNTIME_API Tree {
 public:
  Tree();
  ~Tree();
  Tree(const Tree& other);
  Tree& operator=(const Tree& other);
  Tree(Tree&& other) noexcept;
  Tree& operator=(Tree&& other) noexcept;

  // Parses file text. On failure returns REGDB_E_READREGDB, sets *error (when
  // given) to "line N: reason" and leaves *this untouched.
  HRESULT Parse(std::string_view text, std::string* error = nullptr);
  // The file text of the store (see the format above).
  std::string Export() const;

  bool empty() const;
  bool KeyExists(std::string_view path) const;
  // The value, or nullopt when the key or the value does not exist (or the
  // path is malformed). `name` "" is the default value.
  std::optional<std::string> GetValue(std::string_view path, std::string_view name = {}) const;
  // Names of the key's subkeys (as first written) in store order.
  std::vector<std::string> SubkeyNames(std::string_view path) const;
  // Name/value pairs of the key, the default value (name "") first.
  std::vector<std::pair<std::string, std::string>> Values(std::string_view path) const;

  // Creates the key and its missing parents. E_INVALIDARG for a malformed
  // path (empty, empty component, bad key name).
  HRESULT CreateKey(std::string_view path);
  // Creates the key as needed and sets the value. E_INVALIDARG for a
  // malformed path or a value name longer than kMaxValueNameBytes.
  HRESULT SetValue(std::string_view path, std::string_view name, std::string_view value);
  // Returns whether the value existed.
  bool DeleteValue(std::string_view path, std::string_view name = {});
  // Removes the key with all its subkeys and values; returns whether it existed.
  bool DeleteTree(std::string_view path);
  // Removes the key only when it has neither values nor subkeys; returns
  // whether it was removed.
  bool DeleteKeyIfEmpty(std::string_view path);

  friend bool operator==(const Tree& a, const Tree& b) { return a.Export() == b.Export(); }

 private:
  struct Node;
  std::unique_ptr<Node> root_;
};

// Reads the store at `path` into *tree (a missing file gives an empty tree).
// Failures: REGDB_E_READREGDB for a file that cannot be read or is damaged,
// with *error (when given) saying why; *tree is then untouched.
QUILLON_RUNTIME_API HRESULT Load(const std::string& path, Tree* tree,
                                 std::string* error = nullptr);

// Like Load, for readers that only look: the parsed tree is kept and shared
// until the file changes (another inode, size or time stamp; writers
// replace the file by renaming, so a change is always seen). Object
// creation reads the store on every call, and a persistent page creates
// its objects on every request.
QUILLON_RUNTIME_API HRESULT LoadShared(const std::string& path, std::shared_ptr<const Tree>* tree,
                                       std::string* error = nullptr);

// Runs one transaction on the store at `path` (see above). `change` gets the
// current tree and edits it; when it returns a failure code nothing is
// written and that code is returned. A tree left unchanged is not written.
// Failures: REGDB_E_READREGDB (the current file is damaged: it is never
// overwritten), REGDB_E_WRITEREGDB (directory, lock, temporary file, flush or
// rename failed), E_OUTOFMEMORY; *error (when given) says why.
QUILLON_RUNTIME_API HRESULT Transact(const std::string& path,
                                     const std::function<HRESULT(Tree&)>& change,
                                     std::string* error = nullptr);

// Testing seam: called inside every transaction after the new file is
// complete and flushed, before it replaces the store, with the temporary
// file's path. A failure code aborts the transaction (the temporary file is
// removed, the store keeps its previous content) and is returned by
// Transact. Pass an empty function to remove the hook. Process-wide.
QUILLON_RUNTIME_API void SetBeforeCommitHookForTesting(
    std::function<HRESULT(const std::string& temp_path)> hook);

}  // namespace quillon::com::registry

#endif  // QUILLON_COMPONENT_REGISTRY_H_
