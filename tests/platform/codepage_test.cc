#include "quillon/platform/codepage.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "codepage_internal.h"
#include "quillon/platform/files.h"

namespace quillon::platform {
namespace {

using namespace std::string_literals;

constexpr int k932 = CodePage::kJapanese;
constexpr int k65001 = CodePage::kUtf8;
constexpr size_t npos = std::string_view::npos;

// "指定されたＣＧＩパラメータは存在しません。" in code page 932.
const std::string kMessage932 =
    "\x8e\x77\x92\xe8\x82\xb3\x82\xea\x82\xbd\x82\x62\x82\x66\x82\x68\x83\x70"
    "\x83\x89\x83\x81\x81\x5b\x83\x5e\x82\xcd\x91\xb6\x8d\xdd\x82\xb5\x82\xdc"
    "\x82\xb9\x82\xf1\x81\x42"s;
const std::u16string kMessage16 = u"指定されたＣＧＩパラメータは存在しません。";
const std::string kMessage8 = "指定されたＣＧＩパラメータは存在しません。";

TEST(CodePageTest, GetGivesTheTwoPagesAndUtf8ForAnythingElse) {
  EXPECT_EQ(CodePage::Get(932).number(), 932);
  EXPECT_EQ(CodePage::Get(65001).number(), 65001);
  EXPECT_EQ(CodePage::Get(1252).number(), 65001);
  EXPECT_EQ(&CodePage::Get(932), &CodePage::Get(932));
}

struct LeadByteCase {
  int page;
  uint8_t byte;
  bool lead;
};

class LeadByteTest : public testing::TestWithParam<LeadByteCase> {};

TEST_P(LeadByteTest, MatchesTheRangesOfThePage) {
  const LeadByteCase& c = GetParam();
  EXPECT_EQ(CodePage::Get(c.page).IsLeadByte(c.byte), c.lead)
      << c.page << " byte 0x" << std::hex << int{c.byte};
}

INSTANTIATE_TEST_SUITE_P(
    RangeEdges, LeadByteTest,
    testing::Values(LeadByteCase{k932, 0x00, false}, LeadByteCase{k932, 0x5C, false},
                    LeadByteCase{k932, 0x80, false}, LeadByteCase{k932, 0x81, true},
                    LeadByteCase{k932, 0x9F, true}, LeadByteCase{k932, 0xA0, false},
                    LeadByteCase{k932, 0xDF, false}, LeadByteCase{k932, 0xE0, true},
                    LeadByteCase{k932, 0xFC, true}, LeadByteCase{k932, 0xFD, false},
                    LeadByteCase{k932, 0xFF, false}, LeadByteCase{k65001, 0x7F, false},
                    LeadByteCase{k65001, 0x80, false}, LeadByteCase{k65001, 0xBF, false},
                    LeadByteCase{k65001, 0xC1, false}, LeadByteCase{k65001, 0xC2, true},
                    LeadByteCase{k65001, 0xE0, true}, LeadByteCase{k65001, 0xF4, true},
                    LeadByteCase{k65001, 0xF5, false}, LeadByteCase{k65001, 0xFF, false}));

struct LengthCase {
  int page;
  std::string text;
  size_t length;  // of the character at position 0
};

class CharLengthTest : public testing::TestWithParam<LengthCase> {};

TEST_P(CharLengthTest, StopsAtTheCharacterEnd) {
  const LengthCase& c = GetParam();
  EXPECT_EQ(CodePage::Get(c.page).CharLength(c.text, 0), c.length)
      << testing::PrintToString(c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Both, CharLengthTest,
    testing::Values(
        LengthCase{k932, "a", 1}, LengthCase{k932, "\xb1", 1},  // half-width kana
        LengthCase{k932, "\x82\xa0", 2}, LengthCase{k932, "\x82\x40", 2},
        LengthCase{k932, "\x83\x5c", 2}, LengthCase{k932, "\x82\xfc", 2},
        LengthCase{k932, "\x82", 1},         // unfinished at the end
        LengthCase{k932, "\x82\x7f", 1},     // 0x7F is no trail byte
        LengthCase{k932, "\x82\xfd", 1}, LengthCase{k932, "\x82 =", 1},
        LengthCase{k932, "\x82\0"s, 1}, LengthCase{k65001, "a", 1},
        LengthCase{k65001, "\xc3\xa9", 2}, LengthCase{k65001, "\xe3\x81\x82", 3},
        LengthCase{k65001, "\xf0\x9f\x98\x80", 4},
        LengthCase{k65001, "\xe3\x81", 2},   // unfinished at the end
        LengthCase{k65001, "\xe3\x81" "A", 2}, LengthCase{k65001, "\xe3" "A", 1},
        LengthCase{k65001, "\x80", 1}, LengthCase{k65001, "\xc0\x80", 1},
        LengthCase{k65001, "\xe0\x80\x80", 1},  // overlong
        LengthCase{k65001, "\xed\xa0\x80", 1},  // surrogate
        LengthCase{k65001, "\xf4\x90\x80\x80", 1}));

TEST(CharLengthTest, NeverReachesPastTheEnd) {
  EXPECT_EQ(CodePage::Get(k932).CharLength("ab\x82", 2), 1u);
  EXPECT_EQ(CodePage::Get(k932).CharLength("ab", 2), 0u);
  EXPECT_EQ(CodePage::Get(k65001).CharLength("a\xf0\x9f\x98", 1), 3u);
  EXPECT_EQ(CodePage::Get(k65001).CharLength("", 0), 0u);
}

struct UpperCase {
  int page;
  std::string text;
  std::string upper;
};

class ToUpperTest : public testing::TestWithParam<UpperCase> {};

TEST_P(ToUpperTest, ChangesOnlySingleByteLetters) {
  const UpperCase& c = GetParam();
  const CodePage& page = CodePage::Get(c.page);
  EXPECT_EQ(page.ToUpper(c.text), c.upper);
  std::string in_place = c.text;
  page.ToUpperInPlace(&in_place);
  EXPECT_EQ(in_place, c.upper);
}

INSTANTIATE_TEST_SUITE_P(
    Both, ToUpperTest,
    testing::Values(
        UpperCase{k932, "name_1z", "NAME_1Z"}, UpperCase{k932, "", ""},
        // 0x61 and 0x7A after a lead byte are trail bytes, not letters.
        UpperCase{k932, "a\x82\x61z", "A\x82\x61Z"},
        UpperCase{k932, "\x83\x7a\x83\x61", "\x83\x7a\x83\x61"},
        UpperCase{k932, "\xb1" "a", "\xb1" "A"},  // half-width kana is one byte
        UpperCase{k932, "\x82 a", "\x82 A"},      // damaged lead byte
        UpperCase{k932, "a\0b"s, "A\0B"s}, UpperCase{k932, "a\x82", "A\x82"},
        UpperCase{k65001, "stra\xc3\x9f" "e", "STRA\xc3\x9f" "E"},
        UpperCase{k65001, "\xc3\xa9t\xc3\xa9", "\xc3\xa9T\xc3\xa9"},
        UpperCase{k65001, "\xe3\x81" "a", "\xe3\x81" "A"}));

struct FindCase {
  int page;
  std::string text;
  std::string needle;
  size_t from;
  size_t found;
};

class FindTest : public testing::TestWithParam<FindCase> {};

TEST_P(FindTest, MatchesWholeCharactersOnly) {
  const FindCase& c = GetParam();
  EXPECT_EQ(CodePage::Get(c.page).Find(c.text, c.needle, c.from), c.found)
      << testing::PrintToString(c.text) << " / " << testing::PrintToString(c.needle);
}

INSTANTIATE_TEST_SUITE_P(
    Both, FindTest,
    testing::Values(
        FindCase{k932, "\x95\x5c", "\\", 0, npos},  // 表
        FindCase{k932, "\x95\x5c\\", "\\", 0, 2},
        FindCase{k932, "\x83\x5c\x83\x5c=\\", "\\", 0, 5},
        // Bytes 1-2 spell the needle, but byte 1 is a trail byte.
        FindCase{k932, "\x82\x82\x5c\x82\x5c", "\x82\x5c", 0, 3},
        FindCase{k932, "\x83\x5c", "\x83", 0, npos},  // half a character
        FindCase{k932, "A\x82\xa0" "B", "\x82\xa0" "B", 0, 1},
        FindCase{k932, "\x82 =", "=", 0, 2},
        FindCase{k932, "a=b=c", "=", 2, 3}, FindCase{k932, "a=b", "=", 4, npos},
        FindCase{k932, "abc", "", 1, 1}, FindCase{k932, "ab", "abc", 0, npos},
        FindCase{k932, "x\0y=z"s, "y="s, 0, 2},
        FindCase{k65001, "\xc3\xa9\\", "\\", 0, 2},
        FindCase{k65001, "\xe3\x81\x82", "\x81", 0, npos},
        FindCase{k65001, "a\xc3\xa9", "\xc3", 0, npos},
        FindCase{k65001, "\xe3\\", "\\", 0, 1}));  // damaged lead byte

struct FindAnyCase {
  int page;
  std::string text;
  std::string chars;
  size_t from;
  size_t found;
};

class FindAnyOfTest : public testing::TestWithParam<FindAnyCase> {};

TEST_P(FindAnyOfTest, SkipsTrailBytes) {
  const FindAnyCase& c = GetParam();
  EXPECT_EQ(CodePage::Get(c.page).FindAnyOf(c.text, c.chars, c.from), c.found)
      << testing::PrintToString(c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Both, FindAnyOfTest,
    testing::Values(FindAnyCase{k932, "\x95\x5c", "\\", 0, npos},
                    FindAnyCase{k932, "\x95\x5c=x", "\\=", 0, 2},
                    FindAnyCase{k932, "\x82\x7c|", "|", 0, 2},
                    FindAnyCase{k932, "\x82&", "&", 0, 1},  // & is no trail byte
                    FindAnyCase{k932, "a&b&", "&", 2, 3},
                    FindAnyCase{k932, "a&", "&", 3, npos},
                    FindAnyCase{k932, "a\0b"s, "\0"s, 0, 1},
                    FindAnyCase{k65001, "\xc3\xa9&", "&", 0, 2},
                    FindAnyCase{k65001, "", "&", 0, npos}));

// The walk FindAnyOf must agree with: one character at a time.
size_t CharByCharFindAnyOf(const CodePage& cp, std::string_view text, std::string_view chars,
                           size_t from) {
  for (size_t pos = from; pos < text.size(); pos += cp.CharLength(text, pos)) {
    if (cp.CharLength(text, pos) == 1 && chars.find(text[pos]) != npos) return pos;
  }
  return npos;
}

// Long texts take the block scan; mixes of separators, ASCII, lead and
// trail bytes (a separator byte right after a lead byte among them) must
// give what the character walk gives, from every starting character.
TEST(FindAnyOf, LongTextsAgreeWithTheCharacterWalk) {
  const std::string palette = "ab=&?|\\\x00\x5c\x7c\x40\x81\x82\x9f\xa0\xc3\xe0\xe3\xf0\xfc\x80\xbf"s;
  const std::vector<std::string> char_sets = {"=&?", "&", "|", "\\", "=\\&|", "\0"s};
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  for (const int page : {k932, k65001}) {
    const CodePage& cp = CodePage::Get(page);
    for (int round = 0; round < 200; ++round) {
      // Mostly plain letters, so that whole blocks hold no character wanted.
      std::string text(1 + next() % 150, 'x');
      for (char& c : text) {
        if (next() % 4 == 0) c = palette[next() % palette.size()];
      }
      for (const std::string& chars : char_sets) {
        for (size_t from = 0;; from += cp.CharLength(text, from)) {
          ASSERT_EQ(cp.FindAnyOf(text, chars, from), CharByCharFindAnyOf(cp, text, chars, from))
              << page << " " << testing::PrintToString(text) << " chars "
              << testing::PrintToString(chars) << " from " << from;
          if (from >= text.size()) break;
        }
      }
    }
  }
}

struct MappingCase {
  uint16_t code;        // the 932 character, lead byte high
  char16_t unit;
};

class Cp932MappingTest : public testing::TestWithParam<MappingCase> {};

// Pins the table glibc's CP932 uses, which is the Windows one.
TEST_P(Cp932MappingTest, ConvertsBothWays) {
  const MappingCase& c = GetParam();
  std::string bytes;
  if (c.code > 0xFF) bytes += static_cast<char>(c.code >> 8);
  bytes += static_cast<char>(c.code & 0xFF);
  const CodePage& page = CodePage::Get(k932);
  EXPECT_EQ(page.ToUtf16(bytes), std::u16string(1, c.unit)) << std::hex << c.code;
  EXPECT_EQ(page.FromUtf16(std::u16string(1, c.unit)), bytes) << std::hex << c.code;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Cp932MappingTest,
    testing::Values(MappingCase{0x5C, u'\\'}, MappingCase{0x7E, u'~'},
                    MappingCase{0xB1, u'\uFF71'},    // half-width katakana A
                    MappingCase{0x8160, u'\uFF5E'},  // wave dash as Windows has it
                    MappingCase{0x815F, u'\uFF3C'}, MappingCase{0x817C, u'\uFF0D'},
                    MappingCase{0x8740, u'\u2460'},  // NEC row 13: circled 1
                    MappingCase{0xFA40, u'\u2170'},  // IBM extension
                    MappingCase{0xF040, u'\uE000'},  // user-defined area
                    MappingCase{0x955C, u'\u8868'}));

// Characters with two codes in 932 are written with the one Windows
// prefers, and a few foreign forms are written as their 932 look-alikes.
TEST(Cp932Test, DuplicatesAndForeignFormsMapOneWay) {
  const CodePage& page = CodePage::Get(k932);
  EXPECT_EQ(page.ToUtf16("\xed\x40"), u"\u7E8A");  // NEC-selected IBM extension
  EXPECT_EQ(page.FromUtf16(u"\u7E8A"), "\xfa\x5c");
  EXPECT_EQ(page.FromUtf16(u"\u301C"), "\x81\x60");  // JIS wave dash
  EXPECT_EQ(page.FromUtf16(u"\u00A5"), "\\");       // yen sign
}

TEST(ConversionTest, JapaneseMessageRoundTripsThroughBothPages) {
  const CodePage& japanese = CodePage::Get(k932);
  const CodePage& utf8 = CodePage::Get(k65001);
  const std::u16string wide = utf8.ToUtf16(kMessage8);
  EXPECT_EQ(wide, kMessage16);
  EXPECT_EQ(japanese.FromUtf16(wide), kMessage932);
  EXPECT_EQ(japanese.ToUtf16(kMessage932), kMessage16);
  EXPECT_EQ(utf8.FromUtf16(kMessage16), kMessage8);
}

TEST(ConversionTest, LongTextCrossesInternalBuffers) {
  std::string narrow;
  std::u16string wide;
  for (int i = 0; i < 3000; ++i) {
    narrow += "\x82\xa0" "a";  // あa
    wide += u"あa";
  }
  narrow += "\x82";  // damaged (cut), after many buffer refills
  wide += u'\uFFFD';
  const CodePage& page = CodePage::Get(k932);
  EXPECT_EQ(page.ToUtf16(narrow), wide);
  wide.back() = u'\u00E9';  // no 932 counterpart
  narrow.back() = '?';
  EXPECT_EQ(page.FromUtf16(wide), narrow);
  EXPECT_EQ(CodePage::Get(k65001).ToUtf16(CodePage::Get(k65001).FromUtf16(wide)), wide);
}

struct ToUtf16Case {
  int page;
  std::string text;
  std::u16string wide;
};

class ToUtf16Test : public testing::TestWithParam<ToUtf16Case> {};

TEST_P(ToUtf16Test, ReplacesEachDamagedCharacterOnce) {
  const ToUtf16Case& c = GetParam();
  EXPECT_EQ(CodePage::Get(c.page).ToUtf16(c.text), c.wide)
      << testing::PrintToString(c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Both, ToUtf16Test,
    testing::Values(
        ToUtf16Case{k932, "", u""}, ToUtf16Case{k932, "a\0b"s, u"a\0b"s},
        ToUtf16Case{k932, "\x82\xa0\0\x82\xa0"s, u"あ\0あ"s},
        ToUtf16Case{k932, "\x80", u"\u0080"}, ToUtf16Case{k932, "a\xa0" "b", u"a\uF8F0b"},
        ToUtf16Case{k932, "\xfd\xfe\xff", u"\uF8F1\uF8F2\uF8F3"},
        ToUtf16Case{k932, "\x85\x40", u"\uFFFD"},  // unassigned pair
        ToUtf16Case{k932, "\x82 ", u"\uFFFD "},    // lead without trail
        ToUtf16Case{k932, "\x82\0z"s, u"\uFFFD\0z"s},
        ToUtf16Case{k932, "x\x82", u"x\uFFFD"},  // cut at the end
        ToUtf16Case{k65001, "a\0b\xc3\xa9"s, u"a\0b\u00E9"s},
        ToUtf16Case{k65001, "\xef\xbb\xbf" "A", u"\uFEFFA"},  // BOM kept
        ToUtf16Case{k65001, "\xf0\x9f\x98\x80", u"\U0001F600"},
        ToUtf16Case{k65001, "\xe3\x81", u"\uFFFD"},
        ToUtf16Case{k65001, "\xe3\x81" "A", u"\uFFFDA"},
        ToUtf16Case{k65001, "\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},
        ToUtf16Case{k65001, "\xc0\x80", u"\uFFFD\uFFFD"},
        ToUtf16Case{k65001, "\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        ToUtf16Case{k65001, "\xff" "a\x80", u"\uFFFDa\uFFFD"}));

// Unpaired surrogates cannot be written as literals, hence braces.
struct FromUtf16Case {
  int page;
  std::u16string wide;
  std::string text;
};

class FromUtf16Test : public testing::TestWithParam<FromUtf16Case> {};

TEST_P(FromUtf16Test, WritesQuestionMarkPerUnmappableCodePoint) {
  const FromUtf16Case& c = GetParam();
  EXPECT_EQ(CodePage::Get(c.page).FromUtf16(c.wide), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Both, FromUtf16Test,
    testing::Values(
        FromUtf16Case{k932, u"", ""}, FromUtf16Case{k932, u"a\0b"s, "a\0b"s},
        FromUtf16Case{k932, u"表\0表"s, "\x95\x5c\0\x95\x5c"s},
        FromUtf16Case{k932, u"\U0001F600", "?"},    // a pair is one code point
        FromUtf16Case{k932, {u'a', 0xD800}, "a?"},      // unpaired at the end
        FromUtf16Case{k932, {0xD800, u'A'}, "?A"}, FromUtf16Case{k932, {u'a', 0xDC00, u'b'}, "a?b"},
        FromUtf16Case{k932, u"\uFEFF", "?"},
        FromUtf16Case{k65001, u"\U0001F600", "\xf0\x9f\x98\x80"},
        FromUtf16Case{k65001, u"\uFEFF", "\xef\xbb\xbf"},
        FromUtf16Case{k65001, {0xDC00, 0xD800}, "??"},
        FromUtf16Case{k65001, u"\u00E9\0"s, "\xc3\xa9\0"s}));

TEST(ConversionTest, ThreadsShareTheDescriptorsSafely) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      const CodePage& page = CodePage::Get(t % 2 == 0 ? k932 : k65001);
      const std::string narrow = page.FromUtf16(kMessage16);
      for (int i = 0; i < 300; ++i) {
        if (page.ToUtf16(narrow) != kMessage16) ++failures[t];
        if (page.FromUtf16(kMessage16) != narrow) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

struct EnvironmentCase {
  const char* env_value;
  const char* codeset;
  int page;
};

class CodePageFromEnvironmentTest : public testing::TestWithParam<EnvironmentCase> {};

TEST_P(CodePageFromEnvironmentTest, Decides) {
  const EnvironmentCase& c = GetParam();
  EXPECT_EQ(CodePageFromEnvironment(c.env_value, c.codeset), c.page)
      << (c.env_value ? c.env_value : "(unset)") << " / "
      << (c.codeset ? c.codeset : "(none)");
}

INSTANTIATE_TEST_SUITE_P(
    Table, CodePageFromEnvironmentTest,
    testing::Values(EnvironmentCase{nullptr, "UTF-8", k65001},
                    EnvironmentCase{nullptr, "utf8", k65001},
                    EnvironmentCase{nullptr, "SHIFT_JIS", k932},
                    EnvironmentCase{nullptr, "Shift-JIS", k932},
                    EnvironmentCase{nullptr, "SJIS", k932},
                    EnvironmentCase{nullptr, "CP932", k932},
                    EnvironmentCase{nullptr, "WINDOWS-31J", k932},
                    EnvironmentCase{nullptr, "ANSI_X3.4-1968", k65001},
                    EnvironmentCase{nullptr, "EUC-JP", k65001},
                    EnvironmentCase{nullptr, nullptr, k65001},
                    EnvironmentCase{"932", "UTF-8", k932},
                    EnvironmentCase{"65001", "SHIFT_JIS", k65001},
                    EnvironmentCase{"1252", "SHIFT_JIS", k932},
                    EnvironmentCase{"", "CP932", k932},
                    EnvironmentCase{"932x", "UTF-8", k65001}));

// Sets or unsets one environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// The decision is made once per process, so each case runs in a fresh one.
// The child prints what it decided and whether LC_CTYPE was left alone.
void ReportProcessCodePage() {
  const CodePage& page = ProcessCodePage();
  std::fprintf(stderr, "code page %d, LC_CTYPE %s\n", page.number(),
               std::setlocale(LC_CTYPE, nullptr));
  std::fflush(stderr);
  std::_Exit(0);
}

class ProcessCodePageDeathTest : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ProcessCodePageDeathTest, VariableWinsOverLocale) {
  ScopedEnv page("QUILLON_CODEPAGE", "932");
  ScopedEnv locale("LC_ALL", "C.UTF-8");
  EXPECT_EXIT(ReportProcessCodePage(), testing::ExitedWithCode(0), "code page 932,");
}

TEST_F(ProcessCodePageDeathTest, Utf8LocaleGivesUtf8AndKeepsProcessLocale) {
  ScopedEnv page("QUILLON_CODEPAGE", nullptr);
  ScopedEnv locale("LC_ALL", "C.UTF-8");
  EXPECT_EXIT(ReportProcessCodePage(), testing::ExitedWithCode(0),
              "code page 65001, LC_CTYPE C\n");
}

TEST_F(ProcessCodePageDeathTest, MissingLocaleGivesUtf8) {
  ScopedEnv page("QUILLON_CODEPAGE", nullptr);
  ScopedEnv locale("LC_ALL", "xx_NOWHERE.SJIS");
  EXPECT_EXIT(ReportProcessCodePage(), testing::ExitedWithCode(0), "code page 65001,");
}

// A real Shift_JIS locale, compiled into a private directory; skipped where
// the locale sources are not installed. The death-test child runs this body
// again and finds the directory through the LOCPATH it inherited.
TEST_F(ProcessCodePageDeathTest, ShiftJisLocaleGivesJapanese) {
  namespace fs = std::filesystem;
  std::string directory = GetEnv("LOCPATH").value_or("");
  const bool inherited = !directory.empty() && fs::exists(directory + "/ja_JP.SJIS");
  if (!inherited) {
    directory = TempDirectory() + "quillon-locale-" + std::to_string(ProcessId());
    fs::create_directories(directory);
    const std::string command = "localedef --no-warnings=ascii -f SHIFT_JIS -i ja_JP '" +
                                directory + "/ja_JP.SJIS' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
      fs::remove_all(directory);
      GTEST_SKIP() << "localedef could not build ja_JP.SJIS";
    }
  }
  {
    ScopedEnv page("QUILLON_CODEPAGE", nullptr);
    ScopedEnv path("LOCPATH", directory.c_str());
    ScopedEnv locale("LC_ALL", "ja_JP.SJIS");
    EXPECT_EXIT(ReportProcessCodePage(), testing::ExitedWithCode(0),
                "code page 932, LC_CTYPE C\n");
  }
  if (!inherited) fs::remove_all(directory);
}

}  // namespace
}  // namespace quillon::platform
