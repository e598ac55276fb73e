// Pins the string tables: a changed byte in any message is a changed
// contract with every script that compares error texts.
#include <gtest/gtest.h>

#include <string>

#include "quillon/component/errors.h"
#include "quillon/component/runtime.h"

namespace quillon {
namespace {

// FNV-1a over every number and text of the table, in order.
uint64_t TableFingerprint() {
  uint64_t h = 1469598103934665603ull;
  auto mix = [&](std::string_view bytes) {
    for (unsigned char c : bytes) {
      h ^= c;
      h *= 1099511628211ull;
    }
  };
  for (int n = 0; n < 30000; ++n) {
    std::string_view text = MessageText(n);
    if (text.empty()) continue;
    mix(std::to_string(n));
    mix(text);
  }
  return h;
}

TEST(MessagesTest, ExactTextsOfTheDataStoreMessages) {
  EXPECT_EQ(MessageText(10004), "指定されたインデックスの値は無効です。");
  EXPECT_EQ(MessageText(10005), "指定されたＣＧＩパラメータは存在しません。 パラメータ名＝");
  EXPECT_EQ(MessageText(10006),
            "このメソッドは、マルチパート形式のフォームからのリクエストに対してのみ使用可能です");
  EXPECT_EQ(MessageText(10001),
            "バイナリ・データの形式が無効です。 Byte型の配列のみ使用可能です。");
}

TEST(MessagesTest, LineBreaksAreStoredInTheText) {
  std::string_view m = MessageText(10032);
  ASSERT_NE(m.find('\n'), std::string_view::npos);
  EXPECT_EQ(m.substr(m.find('\n') + 1), "返された内容は以下のとおりです。");
  EXPECT_EQ(MessageText(1001).substr(MessageText(1001).size() - 2), "\n\n");
  EXPECT_EQ(MessageText(1003).front(), '\n');
}

TEST(MessagesTest, EveryNumberedTextIsPresentAndNoOther) {
  const int numbers[] = {100,   1001,  1002,  1003,  10001, 10002, 10003, 10004, 10005, 10006,
                         10011, 10012, 10013, 10021, 10022, 10023, 10031, 10032, 10033, 10034,
                         10035, 20001, 20002, 20003, 20004, 20005, 20006, 20007, 20099};
  int count = 0;
  for (int n = 0; n < 30000; ++n) count += MessageText(n).empty() ? 0 : 1;
  EXPECT_EQ(count, static_cast<int>(std::size(numbers)));
  for (int n : numbers) EXPECT_FALSE(MessageText(n).empty()) << n;
  EXPECT_EQ(TableFingerprint(), 0x04657b2c9d309ffbull)
      << "a message text changed; if on purpose, update the fingerprint";
}

TEST(MessagesTest, UnknownNumberDescribesItselfAsUnknownError) {
  EXPECT_EQ(MessageOrUnknown(10007), u"Unknown Error");
  EXPECT_EQ(Error(10007).Description(), u"Unknown Error");
  EXPECT_EQ(Error(10005, u"abc").Description(),
            com::Utf8ToUtf16("指定されたＣＧＩパラメータは存在しません。 パラメータ名＝abc"));
}

}  // namespace
}  // namespace quillon
