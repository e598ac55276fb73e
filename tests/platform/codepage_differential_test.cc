// The table and vector converters held against glibc iconv, which the
// code-page layer used before: the same characters and the same
// replacements, except for the five 932 bytes that now read as the
// platform's own table has them.
#include <iconv.h>

#include <bit>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quillon/platform/codepage.h"

namespace quillon::platform {
namespace {

constexpr int k932 = CodePage::kJapanese;
constexpr int k65001 = CodePage::kUtf8;

// The bytes glibc's CP932 refuses and their units in the platform's table.
constexpr std::pair<uint8_t, char16_t> kBestFit[] = {
    {0x80, 0x0080}, {0xA0, 0xF8F0}, {0xFD, 0xF8F1}, {0xFE, 0xF8F2}, {0xFF, 0xF8F3}};

// The iconv-based conversion, kept here as the reference: convert until
// iconv stops, replace one character (CodePage::CharLength bytes, or one
// code point of UTF-16), reset and go on.
class Reference {
 public:
  explicit Reference(int page) : page_(CodePage::Get(page)) {
    const char* narrow = page == k932 ? "CP932" : "UTF-8";
    to16_ = iconv_open("UTF-16LE", narrow);
    from16_ = iconv_open(narrow, "UTF-16LE");
  }
  ~Reference() {
    iconv_close(to16_);
    iconv_close(from16_);
  }
  Reference(const Reference&) = delete;
  Reference& operator=(const Reference&) = delete;

  bool ok() const {
    return to16_ != reinterpret_cast<iconv_t>(-1) && from16_ != reinterpret_cast<iconv_t>(-1);
  }

  std::u16string ToUtf16(std::string_view text) {
    std::u16string result;
    iconv(to16_, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(text.data());
    size_t in_left = text.size();
    while (in_left > 0) {
      char16_t buffer[256];
      char* out = reinterpret_cast<char*>(buffer);
      size_t out_left = sizeof buffer;
      const size_t rc = iconv(to16_, &in, &in_left, &out, &out_left);
      const int error = rc == static_cast<size_t>(-1) ? errno : 0;
      result.append(buffer, (sizeof buffer - out_left) / 2);
      if (error == 0 || error == E2BIG) continue;
      const size_t pos = text.size() - in_left;
      const size_t length = page_.CharLength(text, pos);
      result.push_back(BestFitUnit(static_cast<uint8_t>(text[pos]), length));
      in += length;
      in_left -= length;
      iconv(to16_, nullptr, nullptr, nullptr, nullptr);
    }
    return result;
  }

  std::string FromUtf16(std::u16string_view text) {
    std::string result;
    iconv(from16_, nullptr, nullptr, nullptr, nullptr);
    char* in = reinterpret_cast<char*>(const_cast<char16_t*>(text.data()));
    size_t in_left = text.size() * 2;
    while (in_left > 0) {
      char buffer[512];
      char* out = buffer;
      size_t out_left = sizeof buffer;
      const size_t rc = iconv(from16_, &in, &in_left, &out, &out_left);
      const int error = rc == static_cast<size_t>(-1) ? errno : 0;
      result.append(buffer, sizeof buffer - out_left);
      if (error == 0 || error == E2BIG) continue;
      const size_t index = text.size() - in_left / 2;
      size_t units = 1;
      if (text[index] >= 0xD800 && text[index] <= 0xDBFF && index + 1 < text.size() &&
          text[index + 1] >= 0xDC00 && text[index + 1] <= 0xDFFF) {
        units = 2;
      }
      result.push_back(BestFitByte(text[index], units));
      in += units * 2;
      in_left -= units * 2;
      iconv(from16_, nullptr, nullptr, nullptr, nullptr);
    }
    return result;
  }

 private:
  char16_t BestFitUnit(uint8_t byte, size_t length) const {
    if (page_.number() == k932 && length == 1) {
      for (const auto& [b, unit] : kBestFit) {
        if (b == byte) return unit;
      }
    }
    return u'\uFFFD';
  }

  char BestFitByte(char16_t unit, size_t units) const {
    if (page_.number() == k932 && units == 1) {
      for (const auto& [byte, u] : kBestFit) {
        if (u == unit) return static_cast<char>(byte);
      }
    }
    return '?';
  }

  const CodePage& page_;
  iconv_t to16_;
  iconv_t from16_;
};

std::string Hex(std::string_view bytes) {
  std::string text;
  char buffer[4];
  for (char c : bytes) {
    std::snprintf(buffer, sizeof buffer, "%02X ", static_cast<uint8_t>(c));
    text += buffer;
  }
  return text;
}

std::string Hex(std::u16string_view units) {
  std::string text;
  char buffer[8];
  for (char16_t u : units) {
    std::snprintf(buffer, sizeof buffer, "%04X ", unsigned{u});
    text += buffer;
  }
  return text;
}

class DifferentialTest : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    reference_ = std::make_unique<Reference>(GetParam());
    if (!reference_->ok()) GTEST_SKIP() << "glibc iconv lacks the converters";
  }

  // Compares one text and counts mismatches; reports the first few.
  void CheckNarrow(std::string_view text) {
    const std::u16string expected = reference_->ToUtf16(text);
    const std::u16string actual = page().ToUtf16(text);
    if (expected != actual && ++mismatches_ <= 5) {
      ADD_FAILURE() << "bytes " << Hex(text.substr(0, 64)) << "\n  iconv: "
                    << Hex(std::u16string_view(expected).substr(0, 64))
                    << "\n  ours:  " << Hex(std::u16string_view(actual).substr(0, 64));
    }
  }

  void CheckWide(std::u16string_view text) {
    const std::string expected = reference_->FromUtf16(text);
    const std::string actual = page().FromUtf16(text);
    if (expected != actual && ++mismatches_ <= 5) {
      ADD_FAILURE() << "units " << Hex(text.substr(0, 64)) << "\n  iconv: "
                    << Hex(std::string_view(expected).substr(0, 64))
                    << "\n  ours:  " << Hex(std::string_view(actual).substr(0, 64));
    }
  }

  const CodePage& page() const { return CodePage::Get(GetParam()); }

  std::unique_ptr<Reference> reference_;
  int mismatches_ = 0;
};

TEST_P(DifferentialTest, EveryOneAndTwoByteTextReadsAsIconvReadsIt) {
  for (int first = 0; first < 0x100; ++first) {
    const char one[1] = {static_cast<char>(first)};
    CheckNarrow(std::string_view(one, 1));
    for (int second = 0; second < 0x100; ++second) {
      const char two[3] = {static_cast<char>(first), static_cast<char>(second), 'A'};
      CheckNarrow(std::string_view(two, 2));
      CheckNarrow(std::string_view(two, 3));
    }
  }
  EXPECT_EQ(mismatches_, 0);
}

TEST_P(DifferentialTest, EveryCodePointIsWrittenAsIconvWritesIt) {
  // One at a time, so that a mismatch names its code point; beyond the BMP
  // every 97th (in 932 none has a form, in 65001 all are alike) and all of
  // the tag characters, which glibc's CP932 drops.
  std::u16string all;
  for (char32_t code = 0; code <= 0x10FFFF;
       code += code < 0x10000 || (code >= 0xDFF00 && code < 0xE0100) ? 1 : 97) {
    if (code >= 0xD800 && code <= 0xDFFF) continue;
    std::u16string one;
    if (code >= 0x10000) {
      one.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      one.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      one.push_back(static_cast<char16_t>(code));
    }
    CheckWide(one);
    all += one;
  }
  // All at once (the string forms convert through a small buffer, which
  // must never cut a character), and back.
  CheckWide(all);
  CheckNarrow(page().FromUtf16(all));
  EXPECT_EQ(mismatches_, 0);
}

// Random texts from the bytes and units where the rules have edges, with
// ASCII runs long enough to take the vector path and break off anywhere in
// it.
TEST_P(DifferentialTest, RandomMixedTextsMatch) {
  std::mt19937 random(932 + GetParam());
  const std::vector<uint8_t> bytes = {0x00, 0x20, 0x3F, 0x40, 0x5C, 0x7E, 0x7F, 0x80, 0x81, 0x82,
                                      0x85, 0x87, 0x8F, 0x9F, 0xA0, 0xA1, 0xBF, 0xC0, 0xC1, 0xC2,
                                      0xDF, 0xE0, 0xE3, 0xED, 0xEE, 0xEF, 0xF0, 0xF4, 0xF5, 0xFA,
                                      0xFC, 0xFD, 0xFE, 0xFF};
  const std::vector<char16_t> units = {0x0000, 0x0041, 0x007F, 0x0080, 0x00A5, 0x00E9, 0x07FF,
                                       0x0800, 0x3042, 0x7E8A, 0xD800, 0xDBFF, 0xDC00, 0xDFFF,
                                       0xE000, 0xF8F0, 0xF8F3, 0xFEFF, 0xFF5E, 0xFF71, 0xFFFD,
                                       0xFFFE, 0xFFFF};
  for (int round = 0; round < 20000; ++round) {
    std::string narrow;
    std::u16string wide;
    const int pieces = static_cast<int>(random() % 6);
    for (int p = 0; p < pieces; ++p) {
      if (random() % 3 == 0) {
        const size_t run = random() % 40;
        narrow.append(run, 'a');
        wide.append(run, u'b');
      } else {
        for (int k = static_cast<int>(random() % 4); k >= 0; --k) {
          narrow.push_back(static_cast<char>(bytes[random() % bytes.size()]));
          wide.push_back(units[random() % units.size()]);
        }
      }
    }
    CheckNarrow(narrow);
    CheckWide(wide);
    if (mismatches_ > 5) break;
  }
  EXPECT_EQ(mismatches_, 0);
}

INSTANTIATE_TEST_SUITE_P(BothPages, DifferentialTest, testing::Values(k932, k65001),
                         [](const testing::TestParamInfo<int>& param_info) {
                           return "CodePage" + std::to_string(param_info.param);
                         });

// The five bytes the platform's 932 table gives characters to come back as
// themselves, alone and between double-byte characters.
TEST(BestFit932Test, RefusedBytesRoundTrip) {
  const CodePage& page = CodePage::Get(k932);
  for (const auto& [byte, unit] : kBestFit) {
    const std::string narrow = std::string("\x82\xa0") + static_cast<char>(byte) + "\x95\x5c";
    const std::u16string wide = std::u16string(u"あ") + unit + u"表";
    EXPECT_EQ(page.ToUtf16(narrow), wide) << std::hex << int{byte};
    EXPECT_EQ(page.FromUtf16(wide), narrow) << std::hex << int{byte};
  }
  // 0x80 and 0xA0 after a lead byte stay trail bytes.
  EXPECT_EQ(page.ToUtf16("\x81\x80\x81\xa0"), u"\u00F7\u25A1");
}

// The buffer forms write no more than their documented bounds, with the
// inputs that come closest to them; ASan checks the exact-size buffers.
TEST(BufferBoundTest, WorstCaseTextsFitTheirBuffers) {
  const struct {
    int page;
    std::string narrow;
  } narrow_cases[] = {
      {k65001, std::string(37, '\xff')},
      {k65001, std::string(40, 'a') + "\xf0\x9f\x98\x80\xe3\x81\x82" + std::string(20, 'b')},
      {k932, std::string(33, '\xb1')},
      {k932, std::string(31, 'x') + "\x82"},
  };
  for (const auto& c : narrow_cases) {
    const CodePage& page = CodePage::Get(c.page);
    auto out = std::make_unique<char16_t[]>(c.narrow.size());
    const size_t written = page.ToUtf16(c.narrow, out.get());
    EXPECT_EQ(std::u16string(out.get(), written), page.ToUtf16(c.narrow));
  }
  const struct {
    int page;
    std::u16string wide;
  } wide_cases[] = {
      {k65001, std::u16string(35, u'\u3042')},
      {k65001, std::u16string(20, u'a') + std::u16string(17, u'\uFFFF')},
      {k932, std::u16string(35, u'\u8868')},
      {k932, std::u16string(18, u'a') + std::u16string(19, u'\u3042')},
  };
  for (const auto& c : wide_cases) {
    const CodePage& page = CodePage::Get(c.page);
    const size_t bound = page.MaxNarrowLength(c.wide.size());
    auto out = std::make_unique<char[]>(bound);
    const size_t written = page.FromUtf16(c.wide, out.get());
    EXPECT_LE(written, bound);
    EXPECT_EQ(std::string(out.get(), written), page.FromUtf16(c.wide));
  }
}

}  // namespace
}  // namespace quillon::platform
