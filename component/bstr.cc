// Automation strings and task memory. A BSTR points just past a 32-bit byte
// count; the allocation also holds a terminating zero unit so that hosts may
// read it as a C string. Large strings come from and go back to the
// runtime's buffer cache (buffer_cache.h).
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "component/buffer_cache.h"
#include "quillon/component/runtime.h"
#include "quillon/component/types.h"

namespace quillon::com {
namespace {

std::atomic<long> g_live_strings{0};

// Byte counts beyond this cannot be represented in the prefix.
constexpr size_t kMaxBytes = 0x7FFFFFF0u;

BSTR Allocate(UINT byte_length) {
  if (byte_length > kMaxBytes) return nullptr;
  // Prefix + bytes + two zero bytes (an odd byte length still ends in a
  // whole zero unit).
  auto* block = static_cast<char*>(internal::AllocateBuffer(sizeof(uint32_t) + byte_length + 2));
  if (block == nullptr) return nullptr;
  uint32_t n = byte_length;
  std::memcpy(block, &n, sizeof n);
  block[sizeof n + byte_length] = 0;
  block[sizeof n + byte_length + 1] = 0;
  g_live_strings.fetch_add(1, std::memory_order_relaxed);
  return reinterpret_cast<BSTR>(block + sizeof n);
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  UINT n = 0;
  while (text[n] != 0) ++n;
  return SysAllocStringLen(text, n);
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  if (length > kMaxBytes / 2) return nullptr;
  BSTR s = Allocate(length * 2);
  if (s == nullptr) return nullptr;
  if (text != nullptr) {
    std::memcpy(s, text, static_cast<size_t>(length) * 2);
  } else {
    std::memset(s, 0, static_cast<size_t>(length) * 2);
  }
  return s;
}

BSTR SysAllocStringByteLen(const char* bytes, UINT byte_length) {
  BSTR s = Allocate(byte_length);
  if (s == nullptr) return nullptr;
  if (bytes != nullptr) {
    std::memcpy(s, bytes, byte_length);
  } else {
    std::memset(s, 0, byte_length);
  }
  return s;
}

BSTR AllocStringForWriting(UINT length) {
  if (length > kMaxBytes / 2) return nullptr;
  return Allocate(length * 2);
}

BOOL SysReAllocStringLen(BSTR* bstr, const OLECHAR* text, UINT length) {
  if (bstr == nullptr || length > kMaxBytes / 2) return 0;
  if (*bstr == nullptr) {
    *bstr = SysAllocStringLen(text, length);
    return *bstr != nullptr ? 1 : 0;
  }
  const uint32_t bytes = length * 2;
  char* block = reinterpret_cast<char*>(*bstr) - sizeof(uint32_t);
  // `text` may point into the string itself: move it before the block can.
  const UINT old_length = SysStringLen(*bstr);
  if (text != nullptr && text >= *bstr && text < *bstr + old_length) {
    std::memmove(*bstr, text, std::min<size_t>(length, old_length - (text - *bstr)) * 2);
    text = nullptr;
  }
  auto* grown = static_cast<char*>(std::realloc(block, sizeof(uint32_t) + bytes + 2));
  if (grown == nullptr) return 0;
  std::memcpy(grown, &bytes, sizeof bytes);
  grown[sizeof bytes + bytes] = 0;
  grown[sizeof bytes + bytes + 1] = 0;
  *bstr = reinterpret_cast<BSTR>(grown + sizeof bytes);
  if (text != nullptr) std::memcpy(*bstr, text, static_cast<size_t>(length) * 2);
  return 1;
}

void SysFreeString(BSTR bstr) {
  if (bstr == nullptr) return;
  g_live_strings.fetch_sub(1, std::memory_order_relaxed);
  internal::ReleaseBuffer(reinterpret_cast<char*>(bstr) - sizeof(uint32_t));
}

UINT SysStringByteLen(BSTR bstr) {
  if (bstr == nullptr) return 0;
  uint32_t n;
  std::memcpy(&n, reinterpret_cast<const char*>(bstr) - sizeof n, sizeof n);
  return n;
}

UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / 2; }

long LiveStringCount() { return g_live_strings.load(std::memory_order_relaxed); }

void* CoTaskMemAlloc(size_t size) { return std::malloc(size == 0 ? 1 : size); }
void CoTaskMemFree(void* block) { std::free(block); }

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    }
    int extra = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, cp = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, cp = c & 0x07, min = 0x10000;
    } else {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    bool ok = n - i > static_cast<size_t>(extra);  // the whole sequence is there
    for (int k = 1; ok && k <= extra; ++k) {
      auto t = static_cast<unsigned char>(text[i + k]);
      if ((t & 0xC0) != 0x80) {
        ok = false;
      } else {
        cp = (cp << 6) | (t & 0x3F);
      }
    }
    if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace quillon::com
