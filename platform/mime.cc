#include "quillon/platform/mime.h"

#include <magic.h>
#include <malloc.h>

#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

namespace quillon::platform {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Lower(c);
  return out;
}

// extension -> type, read once per table file.
const std::map<std::string, std::string>& Table(const std::string& path) {
  static std::mutex lock;
  static std::map<std::string, std::map<std::string, std::string>> tables;
  std::lock_guard<std::mutex> guard(lock);
  auto [it, inserted] = tables.try_emplace(path);
  if (inserted) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line.front() == '#') continue;
      std::istringstream words(line);
      std::string type, extension;
      if (!(words >> type)) continue;
      while (words >> extension) it->second.try_emplace(Lowered(extension), type);
    }
  }
  return it->second;
}

// libmagic's encoding check works on at most this much of a buffer, and
// its working memory grows with the part it looks at.
constexpr size_t kEncodingWindow = 64 * 1024;

struct MagicDeleter {
  void operator()(magic_t m) const { magic_close(m); }
};

}  // namespace

std::string MimeTypeOfData(std::string_view data) {
  // One cookie per thread: libmagic's cookies are not thread-safe, and
  // loading the database per call costs milliseconds.
  thread_local std::unique_ptr<std::remove_pointer_t<magic_t>, MagicDeleter> cookie = [] {
    std::unique_ptr<std::remove_pointer_t<magic_t>, MagicDeleter> m(magic_open(MAGIC_MIME_TYPE));
    if (m && magic_load(m.get(), nullptr) != 0) m.reset();
    return m;
  }();
  if (!cookie) return {};
  const char* type = magic_buffer(cookie.get(), data.data(), data.size());
  std::string result = type == nullptr ? std::string() : std::string(type);
  // The check's working memory (about 180 KiB for a full window) is freed
  // into the heap, where it stays resident beside the large value the
  // caller is about to copy; giving it back costs little next to the check.
  if (data.size() > kEncodingWindow) malloc_trim(0);
  return result;
}

std::string MimeTypeOfFileName(std::string_view file_name, const std::string& table_path) {
  const size_t slash = file_name.find_last_of("/\\");
  std::string_view base = slash == std::string_view::npos ? file_name : file_name.substr(slash + 1);
  const size_t dot = base.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == base.size()) return {};
  const auto& table = Table(table_path);
  auto it = table.find(Lowered(base.substr(dot + 1)));
  return it == table.end() ? std::string() : it->second;
}

}  // namespace quillon::platform
