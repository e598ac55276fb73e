#include "quillon/core/pairs.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/pairs_walk.h"
#include "quillon/core/encoding.h"
#include "quillon/platform/codepage.h"

namespace quillon::core {
namespace {

using platform::CodePage;
using namespace std::string_literals;
using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs Split(std::string_view text, const CodePage& cp) {
  std::vector<std::string> names, values;
  SplitPairs(text, &names, &values, cp);
  EXPECT_EQ(names.size(), values.size());
  Pairs pairs;
  for (size_t i = 0; i < names.size() && i < values.size(); ++i) {
    pairs.emplace_back(names[i], values[i]);
  }
  return pairs;
}

struct SplitCase {
  const char* label;
  std::string text;
  Pairs pairs;
};
// Test names already say which case failed; keep ctest listings short.
void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.label; }

class SplitPairsTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitPairsTest, BothCodePages) {
  for (int number : {CodePage::kJapanese, CodePage::kUtf8}) {
    EXPECT_EQ(Split(GetParam().text, CodePage::Get(number)), GetParam().pairs) << number;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitPairsTest,
    ::testing::Values(
        SplitCase{"two_pairs", "a=1&b=2", {{"a", "1"}, {"b", "2"}}},
        SplitCase{"empty_value", "a=&b=2", {{"a", ""}, {"b", "2"}}},
        SplitCase{"leading_question_mark", "?x=1", {{"x", "1"}}},
        SplitCase{"trailing_ampersand", "a=1&", {{"a", "1"}}},
        // Only the character after the name's separator is looked at.
        SplitCase{"name_without_value", "a&b=1", {{"a", "b"}, {"1", ""}}},
        SplitCase{"question_mark_ends_name", "a?b", {{"a", "b"}}},
        SplitCase{"doubled_equals", "a==1", {{"a", "1"}}},
        SplitCase{"equals_ampersand_mix", "a=&=&1", {{"a", ""}, {"1", ""}}},
        SplitCase{"second_equals_ends_value", "a=1=2", {{"a", "1"}, {"2", ""}}},
        SplitCase{"question_mark_ends_value", "a=b?c=d", {{"a", "b"}, {"c", "d"}}},
        SplitCase{"value_cut_by_question_mark", "a=?", {{"a", ""}}}, SplitCase{"empty", "", {}},
        SplitCase{"separators_only", "&&&", {}}, SplitCase{"all_separators", "=?&=", {}},
        SplitCase{"lone_name", "a", {{"a", ""}}}, SplitCase{"name_then_equals", "a=", {{"a", ""}}},
        SplitCase{"leading_equals", "=a=1", {{"a", "1"}}},
        SplitCase{"case_and_encoding_kept", "A=%41+&a=x", {{"A", "%41+"}, {"a", "x"}}},
        SplitCase{"duplicate_names", "x=1&x=2", {{"x", "1"}, {"x", "2"}}},
        SplitCase{"ends_at_zero", "a=1\0&b=2"s, {{"a", "1"}}},
        // Double-byte names and values (932 and UTF-8 bytes) pass through.
        SplitCase{"cp932_text",
                  "\x96\xBC\x91\x4F=\x92\x6C&\x83\x5C=\x95\x5C",
                  {{"\x96\xBC\x91\x4F", "\x92\x6C"}, {"\x83\x5C", "\x95\x5C"}}},
        SplitCase{"utf8_text", "\xE5\x90\x8D=\xE5\x80\xA4", {{"\xE5\x90\x8D", "\xE5\x80\xA4"}}}),
    [](const ::testing::TestParamInfo<SplitCase>& param_info) { return param_info.param.label; });

TEST(SplitPairsTest, AppendsToExistingLists) {
  std::vector<std::string> names = {"old"}, values = {"v"};
  SplitPairs("a=1", &names, &values, CodePage::Get(CodePage::kUtf8));
  EXPECT_EQ(names, (std::vector<std::string>{"old", "a"}));
  EXPECT_EQ(values, (std::vector<std::string>{"v", "1"}));
}

// The bound that sizes the entry list: counted in blocks, it must equal
// the runs counted byte by byte (a start in every lane and across block
// ends included), and never be below the pairs the walk finds.
TEST(CountPairRunsTest, EqualsTheByteCountAndBoundsThePairs) {
  auto plain = [](std::string_view text) {
    size_t runs = 0;
    bool after = true;
    for (char c : text) {
      const bool sep = c == '=' || c == '&' || c == '?';
      runs += !sep && after;
      after = sep;
    }
    return runs;
  };
  std::mt19937 rng(5);
  const std::string alphabet = "=&?ab%+\x81";
  std::vector<std::string> texts = {"", "a", "=", "a=b&c", std::string(5000, 'x'),
                                    std::string(5000, '&')};
  for (int round = 0; round < 300; ++round) {
    // Long enough for many blocks and, now and then, the periodic fold.
    std::string text(rng() % (round % 10 == 0 ? 9000 : 100), 'x');
    for (char& c : text) c = alphabet[rng() % alphabet.size()];
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    ASSERT_EQ(CountPairRuns(text), plain(text)) << text;
    size_t pairs = 0;
    WalkPairs(text, platform::CodePage::Get(932), [&](std::string_view, std::string_view) {
      ++pairs;
    });
    ASSERT_LE(pairs, CountPairRuns(text)) << text;
  }
}

TEST(JoinPairsTest, AppendsWithAmpersandOnlyBetweenItems) {
  std::string text = "start:";
  JoinPairs({"name", "kind", "e"}, {"a", "b", ""}, &text);
  EXPECT_EQ(text, "start:name=a&kind=b&e=");

  std::string empty = "\r\n";
  JoinPairs({}, {}, &empty);
  EXPECT_EQ(empty, "\r\n");
}

TEST(JoinPairsTest, SplitReadsBackWhatJoinWrote) {
  std::mt19937 rng(7);
  const CodePage& cp = CodePage::Get(CodePage::kJapanese);
  for (int round = 0; round < 100; ++round) {
    std::vector<std::string> names, values;
    const int count = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < count; ++i) {
      std::string name(1 + rng() % 5, 'a');
      for (char& c : name) c = static_cast<char>('a' + rng() % 26);
      std::string raw(rng() % 8, '\0');
      for (char& c : raw) c = static_cast<char>(rng());
      names.push_back(name);
      values.push_back(EncodeValue(raw));
    }
    std::string text;
    JoinPairs(names, values, &text);
    std::vector<std::string> names2, values2;
    SplitPairs(text, &names2, &values2, cp);
    // JoinPairs writes "=" after every name, so an empty value is followed
    // by "&" or the end and reads back as empty.
    ASSERT_EQ(names2, names) << text;
    ASSERT_EQ(values2, values) << text;
  }
}

}  // namespace
}  // namespace quillon::core
