#include "html/template_cache.h"

#include <cerrno>
#include <cstdlib>

#include "html/arena.h"
#include "html/node.h"
#include "html/search.h"
#include "quillon/component/errors.h"

namespace quillon::html {

namespace {

size_t LimitFromEnvironment() {
  const char* text = std::getenv("QUILLON_TEMPLATE_CACHE_BYTES");
  if (text == nullptr || *text == '\0') return TemplateCache::kDefaultBytes;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') return TemplateCache::kDefaultBytes;
  return static_cast<size_t>(value);
}

}  // namespace

TemplateCache::TemplateCache() : limit_(LimitFromEnvironment()) {}

TemplateCache& TemplateCache::Instance() {
  // Never destroyed: a document loading during static destruction still
  // finds it.
  static TemplateCache* cache = new TemplateCache;
  return *cache;
}

std::string TemplateCache::Key(const Document& doc, const std::string& file_name) {
  std::string key = file_name;
  key += '\0';
  key += std::to_string(doc.code_page().number());
  key += doc.ConvertMasterPage() ? 'C' : '-';
  key += doc.DummyTagName();
  // The warning lines are kept with the tree, in the language of the parse.
  key += '\0';
  key += CurrentMessageLanguage() == MessageLanguage::kEnglish ? "en" : "ja";
  return key;
}

void TemplateCache::CopyTree(const Document& from, Document* to) {
  to->Discard(false);
  to->find_.scope = nullptr;
  to->find_.last = nullptr;
  Tag* root = to->root_;
  const Tag* source = from.root_;
  Node::set_name(root, Node::arena(root)->Translate(*Node::arena(source), Node::name(source)));
  Node::CopyContent(root, source);
  to->warning_text_ = from.warning_text_;
  to->convert_mode_ = from.convert_mode_;
}

size_t TemplateCache::BytesOf(const Document& doc) {
  const Arena* arena = Node::arena(doc.root_);
  size_t bytes = arena->footprint() + doc.warning_text_.size();
  for (const Source& s : arena->sources()) bytes += s->size();
  return bytes;
}

bool TemplateCache::CopyInto(Document* doc, const std::string& key, const std::string& file_name) {
  std::shared_ptr<const Document> tree;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (limit_ == 0) return false;
    auto it = index_.find(key);
    if (it == index_.end() || !it->second->tree) return false;
    platform::FileIdentity now;
    if (!platform::IdentityOf(file_name, &now) || !(now == it->second->identity)) return false;
    lru_.splice(lru_.begin(), lru_, it->second);
    tree = it->second->tree;
  }
  CopyTree(*tree, doc);
  return true;
}

void TemplateCache::Parsed(const Document& doc, const std::string& key,
                           const platform::FileIdentity& identity) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (limit_ == 0) return;
    auto it = index_.find(key);
    if (it != index_.end() && it->second->identity == identity && it->second->too_big) return;
    if (it == index_.end() || !(it->second->identity == identity) || it->second->tree) {
      // Parsed for the first time as it is now: remembered, not kept yet.
      if (it != index_.end()) {
        bytes_ -= it->second->bytes;
        lru_.erase(it->second);
        index_.erase(it);
      }
      lru_.push_front(Entry{key, identity, nullptr, 0});
      index_[key] = lru_.begin();
      Evict();
      return;
    }
  }
  // The second parse of the same file: keep a copy, made outside the lock.
  auto kept = std::make_shared<Document>(doc.code_page());
  kept->SetConvertMasterPage(doc.ConvertMasterPage());
  kept->SetDummyTagName(doc.DummyTagName());
  kept->SetDummyBlockTagName(doc.DummyBlockTagName());
  CopyTree(doc, kept.get());
  const size_t bytes = BytesOf(*kept);
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = index_.find(key);
  if (it == index_.end() || !(it->second->identity == identity) || it->second->tree) return;
  if (bytes > limit_) {
    it->second->too_big = true;
    return;
  }
  it->second->tree = std::move(kept);
  it->second->bytes = bytes;
  bytes_ += bytes;
  lru_.splice(lru_.begin(), lru_, it->second);
  Evict();
}

void TemplateCache::Evict() {
  while ((bytes_ > limit_ || lru_.size() > kMaxEntries) && !lru_.empty()) {
    Entry& last = lru_.back();
    bytes_ -= last.bytes;
    index_.erase(last.key);
    lru_.pop_back();
  }
}

void TemplateCache::SetLimit(size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  limit_ = bytes;
  if (limit_ == 0) {
    lru_.clear();
    index_.clear();
    bytes_ = 0;
  }
  Evict();
}

size_t TemplateCache::limit() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return limit_;
}

size_t TemplateCache::bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

void TemplateCache::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lru_.clear();
  index_.clear();
  bytes_ = 0;
}

}  // namespace quillon::html
