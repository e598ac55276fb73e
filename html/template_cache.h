// Parsed templates kept across loads of the same file.
//
// A serving process (FastCGI, or any host that loads a template again for
// each page) parses the same files over and over. Load asks this cache
// first: a file whose identity (device, inode, size, modification and
// change times) is that of the parse kept for it gets a copy of the kept
// tree instead of a new parse. A file is kept the second time it is parsed
// unchanged, so a process that loads each file once (a CGI page) pays
// nothing but one lookup. The copy is the loading document's own: edits
// never reach what is kept.
//
// What is kept is bounded in bytes (the trees' memory and their sources),
// least recently used going first: kDefaultBytes, or the number of bytes
// in QUILLON_TEMPLATE_CACHE_BYTES when the process starts; 0 turns the
// cache off.
//
// Threading: one cache per process, locked; a kept tree is only read.
#ifndef QUILLON_HTML_TEMPLATE_CACHE_H_
#define QUILLON_HTML_TEMPLATE_CACHE_H_

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "quillon/html/document.h"
#include "quillon/platform/files.h"

namespace quillon::html {

class TemplateCache {
 public:
  static constexpr size_t kDefaultBytes = size_t{32} << 20;
  // Files remembered (parsed once, not kept yet) beyond the kept ones.
  static constexpr size_t kMaxEntries = 4096;

  static TemplateCache& Instance();

  // What decides the tree of `file_name` in `doc`: the name, the code
  // page, the document's ConvertMasterPage setting and text-block name, and
  // the language of the warning lines (QUILLON_MESSAGES).
  static std::string Key(const Document& doc, const std::string& file_name);
  // Gives `doc` a copy of the tree kept for `key` when `file_name` is
  // still as it was; false (nothing changed) otherwise.
  bool CopyInto(Document* doc, const std::string& key, const std::string& file_name);
  // `doc` has just parsed the file of `key`, which had `identity`.
  void Parsed(const Document& doc, const std::string& key, const platform::FileIdentity& identity);

  void SetLimit(size_t bytes);
  size_t limit() const;
  // Bytes kept now.
  size_t bytes() const;
  void Clear();

 private:
  struct Entry {
    std::string key;
    platform::FileIdentity identity;
    std::shared_ptr<const Document> tree;  // null: parsed once so far
    size_t bytes = 0;
    bool too_big = false;  // a tree larger than the whole cache
  };
  TemplateCache();
  static void CopyTree(const Document& from, Document* to);
  static size_t BytesOf(const Document& doc);
  // Under the lock.
  void Evict();

  mutable std::mutex mutex_;
  std::list<Entry> lru_;  // most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
  size_t bytes_ = 0;
  size_t limit_;
};

}  // namespace quillon::html

#endif  // QUILLON_HTML_TEMPLATE_CACHE_H_
