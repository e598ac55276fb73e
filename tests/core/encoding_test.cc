#include "quillon/core/encoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "core/encoding_internal.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"
#include "quillon/platform/codepage.h"

namespace quillon::core {
namespace {

using platform::CodePage;
using namespace std::string_literals;

const CodePage& Cp932() { return CodePage::Get(CodePage::kJapanese); }
const CodePage& Cp65001() { return CodePage::Get(CodePage::kUtf8); }

std::string AllBytes() {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>(b));
  return bytes;
}

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

TEST(EncodeValueTest, EveryByteValueFallsIntoItsClass) {
  int copied = 0, blanks = 0, escaped = 0;
  for (int b = 0; b < 256; ++b) {
    const std::string in(1, static_cast<char>(b));
    const std::string out = EncodeValue(in);
    SCOPED_TRACE(b);
    if (out.size() == 1 && out == in) {
      EXPECT_TRUE((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'))
          << "copied a byte that is no ASCII letter or digit";
      ++copied;
    } else if (out == "+") {
      EXPECT_EQ(b, 0x20);
      ++blanks;
    } else {
      ASSERT_EQ(out.size(), 3u);
      EXPECT_EQ(out[0], '%');
      EXPECT_TRUE(IsUpperHex(out[1]) && IsUpperHex(out[2])) << out;
      EXPECT_EQ(std::stoi(out.substr(1), nullptr, 16), b);
      ++escaped;
    }
  }
  EXPECT_EQ(copied, 62);
  EXPECT_EQ(blanks, 1);
  EXPECT_EQ(escaped, 193);
  // All at once: the same classes, concatenated, no separator characters.
  const std::string all = EncodeValue(AllBytes());
  EXPECT_EQ(all.size(), 62u + 1u + 193u * 3u);
  EXPECT_EQ(all.find_first_of("=&? \r\n"s + '\0'), std::string::npos);
}

TEST(EncodeValueTest, Examples) {
  EXPECT_EQ(EncodeValue("a b&c"), "a+b%26c");
  EXPECT_EQ(EncodeValue("\xE3"), "%E3");
  EXPECT_EQ(EncodeValue("\0x\0"s), "%00x%00");
  EXPECT_EQ(EncodeValue(""), "");
  EXPECT_EQ(EncodeValue("100%=?"), "100%25%3D%3F");
}

TEST(EncodeValueTest, AppendKeepsWhatIsThere) {
  std::string out = "x=";
  AppendEncodedValue("1 2", &out);
  EXPECT_EQ(out, "x=1+2");
  AppendEncodedValue("", &out);
  EXPECT_EQ(out, "x=1+2");
}

TEST(EncodeValueTest, EncodeTextStopsAtFirstZero) {
  EXPECT_EQ(EncodeText("ab\0cd"s), "ab");
  EXPECT_EQ(EncodeText("O K"), "O+K");
}

struct DecodeCase {
  const char* label;
  std::string text;
  std::string in_932;
  std::string in_65001;
};
// Test names already say which case failed; keep ctest listings short.
void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.label; }

class DecodeValueTest : public ::testing::TestWithParam<DecodeCase> {};

// Decodes into a buffer of exactly text.size() + 1 bytes taken from a text
// copy without a terminator, so that ASan sees any read or write past
// either; both decoder paths must agree.
std::string DecodeExact(const std::string& text, const CodePage& cp) {
  std::vector<char> in(text.begin(), text.end());
  std::string results[2];
  for (bool vector : {false, true}) {
    std::vector<char> out(text.size() + 1, '\x7F');
    const size_t n =
        internal::DecodeValueWith(std::string_view(in.data(), in.size()), out.data(), cp, vector);
    EXPECT_LE(n, text.size());
    EXPECT_EQ(out[n], '\0') << "no terminator after the decoded bytes";
    results[vector] = std::string(out.data(), n);
  }
  EXPECT_EQ(results[0], results[1]) << "vector and byte-wise decoding differ";
  return results[1];
}

TEST_P(DecodeValueTest, BothCodePages) {
  const DecodeCase& c = GetParam();
  EXPECT_EQ(DecodeExact(c.text, Cp932()), c.in_932) << "932";
  EXPECT_EQ(DecodeExact(c.text, Cp65001()), c.in_65001) << "65001";
  EXPECT_EQ(DecodeValue(c.text, Cp932()), c.in_932);
  EXPECT_EQ(DecodeValue(c.text, Cp65001()), c.in_65001);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeValueTest,
    ::testing::Values(
        DecodeCase{"escapes_and_plus", "%41%62+c", "Ab c", "Ab c"},
        DecodeCase{"lower_case_digits", "%4a", "J", "J"},
        DecodeCase{"zero_byte_kept", "%00A", "\0A"s, "\0A"s}, DecodeCase{"empty", "", "", ""},
        DecodeCase{"plain", "abc", "abc", "abc"},
        DecodeCase{"long_run", "abcdefghijklmnop+qrstuvwx%21yz", "abcdefghijklmnop qrstuvwx!yz",
                   "abcdefghijklmnop qrstuvwx!yz"},
        DecodeCase{"high_escapes", "%E3%81%82%ff", "\xE3\x81\x82\xFF", "\xE3\x81\x82\xFF"},
        // Non-hex characters go through the same arithmetic.
        DecodeCase{"non_hex_digits", "%zz", "S", "S"},
        DecodeCase{"percent_as_digit", "%%41", "T1", "T1"},
        // Incomplete escapes are ordinary bytes; the walk goes on.
        DecodeCase{"lone_percent", "%", "%", "%"},
        DecodeCase{"one_digit_left", "ab%4", "ab%4", "ab%4"},
        DecodeCase{"percent_then_plus", "%+", "% ", "% "},
        // The text ends at its first zero byte.
        DecodeCase{"embedded_zero", "%41\0%42"s, "A", "A"},
        DecodeCase{"escape_cut_by_zero",
                   "a%4\0"
                   "1"s,
                   "a%4", "a%4"},
        // Raw double-byte text: never encoded, so copied whole.
        DecodeCase{"raw_hiragana_utf8_bytes", "\xE3\x81\x82+%41", "\xE3\x81\x82+%41",
                   "\xE3\x81\x82+%41"},
        DecodeCase{"raw_after_escapes", "%41+\xE3\x81\x82", "%41+\xE3\x81\x82", "%41+\xE3\x81\x82"},
        // 0x81 leads a character in 932 only, 0xC3 in 65001 only.
        DecodeCase{"lead_in_932_only", "+\x81\x40%41", "+\x81\x40%41",
                   " \x81\x40"
                   "A"},
        DecodeCase{"lead_in_65001_only", "+\xC3\xA9%41",
                   " \xC3\xA9"
                   "A",
                   "+\xC3\xA9%41"},
        DecodeCase{"lead_at_last_byte", "a+\x81", "a+\x81", "a \x81"},
        // Half-width katakana (932) and UTF-8 continuation bytes lead nothing.
        DecodeCase{"non_lead_high_byte", "%41\xB1+", "A\xB1 ", "A\xB1 "},
        // Escape digits are not positions of the walk: a lead byte there is
        // arithmetic, not a reason to copy.
        DecodeCase{"lead_as_escape_digit", "%\x81\x40", "\xB0", "\xB0"}),
    [](const ::testing::TestParamInfo<DecodeCase>& param_info) { return param_info.param.label; });

TEST(DecodeValueTest, RoundTripsEveryByteInBothCodePages) {
  const std::string all = AllBytes();
  for (const CodePage* cp : {&Cp932(), &Cp65001()}) {
    EXPECT_EQ(DecodeValue(EncodeValue(all), *cp), all) << cp->number();
  }
}

TEST(DecodeValueTest, RoundTripsRandomBuffers) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 200; ++round) {
    std::string bytes(rng() % 300, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    ASSERT_EQ(DecodeValue(EncodeValue(bytes), Cp932()), bytes);
  }
}

// The walk written out one step at a time.
std::string ReferenceDecode(std::string_view text, const CodePage& cp) {
  text = text.substr(0, std::min(text.find('\0'), text.size()));
  auto digit = [](unsigned char c) { return c < 'A' ? c - '0' : (c & ~0x20) - 55; };
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (cp.IsLeadByte(b)) return std::string(text);
    if (b == '%' && text.size() - i >= 3) {
      out += static_cast<char>(16 * digit(text[i + 1]) + digit(text[i + 2]));
      i += 3;
    } else {
      out += b == '+' ? ' ' : static_cast<char>(b);
      ++i;
    }
  }
  return out;
}

// Texts long enough for whole blocks, with escapes at every offset of a
// block (straddling its end included), runs of '%', high bytes and lead
// bytes late in the text.
TEST(DecodeValueTest, LongTextsMatchTheStepByStepWalk) {
  const std::string alphabet = "%%%%++AaFf09zZ.\x81\xB1\xC3\xE3";
  std::mt19937 rng(99);
  for (int round = 0; round < 3000; ++round) {
    std::string text(rng() % 80, 'x');
    const bool sparse = round % 2 == 0;
    for (char& c : text) {
      c = sparse && rng() % 8 != 0 ? static_cast<char>('a' + rng() % 26)
                                   : alphabet[rng() % alphabet.size()];
    }
    for (const CodePage* cp : {&Cp932(), &Cp65001()}) {
      ASSERT_EQ(DecodeExact(text, *cp), ReferenceDecode(text, *cp)) << cp->number() << " " << text;
    }
  }
}

// Large texts are decoded in pieces: escapes that straddle a piece's end,
// a lead byte met only in a later piece (the whole text is then copied),
// and bytes already in the output must all come out as the walk says.
TEST(DecodeValueTest, LargeTextsDecodeLikeTheWalkAcrossPieces) {
  std::mt19937 rng(7);
  std::string binary(9000, '\0');
  for (char& c : binary) c = static_cast<char>(rng());
  const std::string encoded = EncodeValue(binary);
  std::vector<std::string> texts = {encoded, std::string(5000, 'a') + "\x81\x40" + encoded};
  for (size_t at : {4093u, 4094u, 4095u, 4096u, 8190u, 8191u, 8192u}) {
    std::string text(10000, 'q');
    text.replace(at, 3, "%41");
    texts.push_back(text);
    text.replace(at, 3, "%%4");
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    for (const CodePage* cp : {&Cp932(), &Cp65001()}) {
      std::string out = "kept";
      AppendDecodedValue(text, &out, *cp);
      ASSERT_EQ(out, "kept" + ReferenceDecode(text, *cp)) << cp->number() << " " << text.size();
    }
  }
  EXPECT_EQ(DecodeValue(encoded, Cp932()), binary);
}

// Whole values are encoded in pieces and sized beforehand: the output must
// be the byte-by-byte rule's, whatever the size and content.
TEST(EncodeValueTest, LargeValuesFollowTheByteRule) {
  auto reference = [](std::string_view bytes) {
    std::string out;
    for (unsigned char b : bytes) {
      if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) {
        out += static_cast<char>(b);
      } else if (b == ' ') {
        out += '+';
      } else {
        static const char kDigits[] = "0123456789ABCDEF";
        out += '%';
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
      }
    }
    return out;
  };
  std::mt19937 rng(11);
  const std::string text_bytes = "Hello World 42 /?&=%+";
  for (size_t size : {0u, 15u, 16u, 17u, 1023u, 1024u, 1025u, 5000u}) {
    std::string binary(size, '\0'), text(size, '\0');
    for (char& c : binary) c = static_cast<char>(rng());
    for (char& c : text) c = text_bytes[rng() % text_bytes.size()];
    for (const std::string* value : {&binary, &text}) {
      std::string out = "x=";
      AppendEncodedValue(*value, &out);
      ASSERT_EQ(out, "x=" + reference(*value)) << size;
      ASSERT_EQ(EncodedLength(*value), out.size() - 2) << size;
      // A buffer at a time, with rooms that split escapes every way.
      for (size_t room : {3u, 4u, 5u, 7u, 64u}) {
        std::string pieces;
        std::string_view rest = *value;
        std::vector<char> buffer(room);
        while (!rest.empty()) {
          size_t consumed = 0;
          const size_t n = EncodeValuePiece(rest, buffer.data(), room, &consumed);
          ASSERT_GT(consumed, 0u) << "no progress with room " << room;
          ASSERT_LE(n, room);
          pieces.append(buffer.data(), n);
          rest.remove_prefix(consumed);
        }
        ASSERT_EQ(pieces, reference(*value)) << size << " in rooms of " << room;
      }
      // No room beyond the value is taken (the old way reserved three
      // bytes per input byte and kept them); a short string grows to twice
      // its inline room at least.
      const std::string alone = EncodeValue(*value);
      if (alone.size() > 30) {
        EXPECT_EQ(alone.capacity(), alone.size()) << size;
      }
    }
  }
}

TEST(DecodeValueTest, EscapeAtEveryBlockOffset) {
  for (size_t at = 0; at < 40; ++at) {
    std::string text(40, 'q');
    text.replace(at, 3, "%41");
    text.resize(40);  // an escape cut short at the end stays literal
    SCOPED_TRACE(at);
    EXPECT_EQ(DecodeExact(text, Cp932()), ReferenceDecode(text, Cp932()));
    text[at] = '+';
    EXPECT_EQ(DecodeExact(text, Cp932()), ReferenceDecode(text, Cp932()));
  }
  // Escape after escape, across several blocks: binary data.
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  for (size_t skip = 0; skip < 20; ++skip) {
    const std::string encoded = std::string(skip, 'k') + EncodeValue(all);
    EXPECT_EQ(DecodeExact(encoded, Cp65001()), std::string(skip, 'k') + all);
  }
}

TEST(EncodeHexTest, PrefixAndUpperCaseDigits) {
  EXPECT_EQ(EncodeHex("\x00\xAB"s), "\\\\x00AB");
  EXPECT_EQ(EncodeHex("\x00\xFF\x10"s),
            "\x5C\x5C\x78"
            "00FF10");
  EXPECT_EQ(EncodeHex(""), "\\\\x");
}

struct HexCase {
  const char* label;
  std::string text;
  std::string bytes;
};
// Test names already say which case failed; keep ctest listings short.
void PrintTo(const HexCase& c, std::ostream* os) { *os << c.label; }

class DecodeHexTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(DecodeHexTest, Table) {
  // Unterminated copy: an unpaired digit must meet a virtual terminator,
  // not the byte after the buffer.
  std::vector<char> in(GetParam().text.begin(), GetParam().text.end());
  EXPECT_EQ(DecodeHex(std::string_view(in.data(), in.size())), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Table, DecodeHexTest,
                         ::testing::Values(HexCase{"two_bytes", "\\\\x00AB", "\x00\xAB"s},
                                           HexCase{"lower_case", "\\\\x00ab", "\x00\xAB"s},
                                           HexCase{"prefix_not_checked", "XYZ4142", "AB"},
                                           HexCase{"prefix_only", "\\\\x", ""},
                                           HexCase{"short_text", "ab", ""},
                                           HexCase{"empty", "", ""},
                                           // Unpaired digit: 16 * d + (0 - 48), low 8 bits.
                                           HexCase{"odd_digit_4", "\\\\x4", "\x10"},
                                           HexCase{"odd_digit_F", "\\\\xF", "\xC0"},
                                           HexCase{"odd_after_pair", "\\\\x0AB", "\x0A\x80"},
                                           HexCase{"ends_at_zero",
                                                   "\\\\x41\0"
                                                   "42"s,
                                                   "A"},
                                           HexCase{"odd_at_zero",
                                                   "\\\\x4\0"
                                                   "2"s,
                                                   "\x10"}),
                         [](const ::testing::TestParamInfo<HexCase>& param_info) {
                           return param_info.param.label;
                         });

TEST(DecodeHexTest, RoundTripsEveryByte) {
  EXPECT_EQ(DecodeHex(EncodeHex(AllBytes())), AllBytes());
}

}  // namespace
}  // namespace quillon::core
