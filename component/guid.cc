#include <cstdio>
#include <string>

#include "quillon/component/types.h"

namespace quillon::com {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ReadHex(std::string_view text, size_t pos, int digits, uint32_t* value) {
  uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int d = HexValue(text[pos + i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

}  // namespace

bool ParseGuid(std::string_view text, GUID* out) {
  if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' ||
      text[14] != '-' || text[19] != '-' || text[24] != '-') {
    return false;
  }
  GUID g{};
  uint32_t v = 0;
  if (!ReadHex(text, 1, 8, &g.Data1)) return false;
  if (!ReadHex(text, 10, 4, &v)) return false;
  g.Data2 = static_cast<uint16_t>(v);
  if (!ReadHex(text, 15, 4, &v)) return false;
  g.Data3 = static_cast<uint16_t>(v);
  for (int i = 0; i < 2; ++i) {
    if (!ReadHex(text, 20 + 2 * i, 2, &v)) return false;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  for (int i = 0; i < 6; ++i) {
    if (!ReadHex(text, 25 + 2 * i, 2, &v)) return false;
    g.Data4[2 + i] = static_cast<uint8_t>(v);
  }
  *out = g;
  return true;
}

std::string FormatGuid(const GUID& g) {
  char buffer[39];
  std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return std::string(buffer, 38);
}

}  // namespace quillon::com
