// Pins the string tables: a changed byte in any message is a changed
// contract with every script that compares error texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/errors.h"
#include "quillon/component/runtime.h"
#include "tests/support/message_language.h"

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

std::vector<int> TableNumbers() {
  std::vector<int> numbers;
  for (int n = 0; n < 30000; ++n) {
    if (!MessageText(n).empty()) numbers.push_back(n);
  }
  return numbers;
}

size_t Count(std::string_view text, std::string_view piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string_view::npos;
       at = text.find(piece, at + piece.size())) {
    ++count;
  }
  return count;
}

// The English table mirrors the Japanese one: the same numbers, the same
// line breaks where the raising code relies on them (a value appended after
// "\n\n", a text that starts on a new line), and a label "...: " wherever
// the Japanese ends in "＝" and a value is appended.
TEST(MessagesTest, EveryNumberHasAnEnglishTextShapedLikeItsJapanese) {
  const std::vector<int> numbers = TableNumbers();
  ASSERT_EQ(numbers.size(), 29u);
  for (int n : numbers) {
    SCOPED_TRACE(n);
    const std::string_view ja = MessageText(n, MessageLanguage::kJapanese);
    const std::string_view en = MessageText(n, MessageLanguage::kEnglish);
    EXPECT_EQ(ja, MessageText(n));
    ASSERT_FALSE(en.empty());
    EXPECT_NE(en, ja);
    EXPECT_TRUE(std::all_of(en.begin(), en.end(),
                            [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        << en;
    EXPECT_EQ(Count(en, "\n"), Count(ja, "\n")) << en;
    EXPECT_EQ(en.starts_with('\n'), ja.starts_with('\n')) << en;
    EXPECT_EQ(en.ends_with("\n\n"), ja.ends_with("\n\n")) << en;
    EXPECT_EQ(en.ends_with(": "), ja.ends_with("＝")) << en;
  }
  EXPECT_TRUE(MessageText(10007, MessageLanguage::kEnglish).empty());
  EXPECT_EQ(MessageOrUnknown(10007, MessageLanguage::kEnglish), u"Unknown Error");
}

TEST(MessagesTest, EnglishOnlyWhenQuillonMessagesIsExactlyEn) {
  const struct {
    const char* setting;
    MessageLanguage expected;
  } cases[] = {
      {nullptr, MessageLanguage::kJapanese}, {"", MessageLanguage::kJapanese},
      {"ja", MessageLanguage::kJapanese},    {"EN", MessageLanguage::kJapanese},
      {"en_US", MessageLanguage::kJapanese}, {"en ", MessageLanguage::kJapanese},
      {"english", MessageLanguage::kJapanese}, {"en", MessageLanguage::kEnglish},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting != nullptr ? c.setting : "(unset)");
    testing::ScopedMessages messages(c.setting);
    EXPECT_EQ(CurrentMessageLanguage(), c.expected);
    const std::u16string text = com::Utf8ToUtf16(MessageText(10004, c.expected));
    EXPECT_EQ(MessageOrUnknown(10004), text);
    EXPECT_EQ(Error(10004).Description(), text);
    // MessageText without a language is the contract's table in any case.
    EXPECT_EQ(MessageText(10004), "指定されたインデックスの値は無効です。");
  }
}

// What a failing call knew shows in English only; the Japanese description
// stays what it always was.
TEST(MessagesTest, EnglishDescriptionsNameWhatTheCallWasGiven) {
  const struct {
    Error error;
    std::u16string english;
    std::u16string japanese;
  } cases[] = {
      {Error(kMsgFileRead).WithFile(u"/srv/site/list.htm"),
       u"The file does not exist or cannot be read. File: /srv/site/list.htm",
       u"指定されたファイルが存在しないか、ファイルの読み込みができません。"},
      {Error(kMsgFileWrite).WithFile(u"out.txt"), u"The file cannot be written. File: out.txt",
       u"指定されたファイルへの書き込みができません。"},
      {Error(kMsgBadIndex).WithIndex(-1), u"The index is not valid. Index: -1",
       u"指定されたインデックスの値は無効です。"},
      {Error(kMsgBadIndex).WithIdentifier(u"row"), u"The index is not valid. Identifier: row",
       u"指定されたインデックスの値は無効です。"},
      // A composed 10004 (the identifier straight after the Japanese text)
      // labels its value in English.
      {Error(kMsgBadIndex, u"row").AppendedAs(u"Identifier"),
       u"The index is not valid. Identifier: row", u"指定されたインデックスの値は無効です。row"},
      // A bare 10005 reads like the composed one in English.
      {Error(kMsgNoParameter).WithParameter(u"nm"),
       u"The CGI parameter does not exist. Parameter name: nm",
       u"指定されたＣＧＩパラメータは存在しません。 パラメータ名＝"},
      {Error(kMsgNoParameter, u"nm"), u"The CGI parameter does not exist. Parameter name: nm",
       u"指定されたＣＧＩパラメータは存在しません。 パラメータ名＝nm"},
      {Error(kMsgNoParameter, u"nm").WithDetail(u", sub-index 2 (1 value by that name)"),
       u"The CGI parameter does not exist. Parameter name: nm, sub-index 2 (1 value by that name)",
       u"指定されたＣＧＩパラメータは存在しません。 パラメータ名＝nm"},
      {Error(kMsgMultipartOnly).WithParameter(u"up"),
       u"This method can be used only for requests from a multipart form. Parameter name: up",
       u"このメソッドは、マルチパート形式のフォームからのリクエストに対してのみ使用可能です"},
      {Error(kMsgConnectFailed, u"7").WithDetail(u" (Couldn't connect to server)"),
       u"Connecting to the HTTP server failed. Error code: 7 (Couldn't connect to server)",
       u"ＨＴＴＰサーバーへの接続に失敗しました。 エラーコード＝7"},
      {Error(kMsgFileWrite).WithFile(u"a").With(u"Directory", u"/tmp/"),
       u"The file cannot be written. File: a Directory: /tmp/",
       u"指定されたファイルへの書き込みができません。"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(com::Utf16ToUtf8(c.english));
    EXPECT_EQ(c.error.Description(MessageLanguage::kEnglish), c.english);
    EXPECT_EQ(c.error.Description(MessageLanguage::kJapanese), c.japanese);
    {
      testing::ScopedMessages messages("en");
      EXPECT_EQ(c.error.Description(), c.english);
    }
    testing::ScopedMessages messages(nullptr);
    EXPECT_EQ(c.error.Description(), c.japanese);
  }
}

TEST(MessagesTest, WhatFollowsTheLanguageToo) {
  {
    testing::ScopedMessages messages("en");
    EXPECT_STREQ(Error(kMsgBadIndex).WithIndex(3).what(), "10004: The index is not valid. Index: 3");
  }
  testing::ScopedMessages messages(nullptr);
  EXPECT_STREQ(Error(kMsgBadIndex).WithIndex(3).what(), "10004: 指定されたインデックスの値は無効です。");
}

// Both conventions over every number, bare and composed, in both languages:
// the language changes the description and nothing else, and the error
// object carries the number whatever the code says.
TEST(MessagesTest, LanguageChangesNoCodeHelpContextOrNumber) {
  std::vector<int> numbers = TableNumbers();
  numbers.push_back(10007);  // no text: "Unknown Error"
  constexpr com::IID kInterface = com::Guid("{0BADF00D-1234-5678-9ABC-0123456789AB}");
  for (const char* setting : {static_cast<const char*>(nullptr), "en"}) {
    testing::ScopedMessages messages(setting);
    const MessageLanguage language =
        setting != nullptr ? MessageLanguage::kEnglish : MessageLanguage::kJapanese;
    for (int n : numbers) {
      for (bool composed : {false, true}) {
        for (bool server : {true, false}) {
          SCOPED_TRACE(std::to_string(n) + (composed ? " composed" : " bare") +
                       (server ? " server " : " client ") + (setting ? "en" : "ja"));
          Error error = composed ? Error(n, u"VALUE") : Error(n);
          error.With(u"Where", u"here");
          const uint32_t n32 = static_cast<uint32_t>(n);
          const com::HRESULT code =
              server ? com::ServerError({u"Some.Object.1", &kInterface}, error)
                     : com::ClientError(u"SomeApp", error);
          const uint32_t expected_code =
              server ? (composed ? 0x80020009u : 0x80040000u + n32) : 0x800A0000u + n32;
          EXPECT_EQ(static_cast<uint32_t>(code), expected_code);

          com::ComPtr<com::IErrorInfo> info;
          ASSERT_EQ(com::GetErrorInfo(0, info.put()), com::S_OK);
          com::DWORD help = 1;
          info->GetHelpContext(&help);
          EXPECT_EQ(help, server || composed ? 0u : 0x60000u + n32);
          com::Bstr description, source;
          info->GetDescription(description.put());
          info->GetSource(source.put());
          EXPECT_EQ(source.view(), server ? u"Some.Object.1" : u"SomeApp");
          std::u16string expected = MessageOrUnknown(n, language);
          if (composed) expected += u"VALUE";
          if (setting != nullptr) expected += u" Where: here";
          EXPECT_EQ(description.view(), expected);
          if (setting == nullptr) {
            // Today's description, byte for byte.
            const std::u16string table = MessageText16(n);
            EXPECT_EQ(description.view(), (table.empty() ? u"Unknown Error" : table) +
                                              (composed ? u"VALUE" : u""));
          }
          EXPECT_EQ(com::MessageNumberOf(info.get()), n);
        }
      }
    }
  }
}

TEST(MessagesTest, ErrorObjectsWithoutANumberCarryZero) {
  EXPECT_EQ(com::MessageNumberOf(nullptr), 0);
  ASSERT_EQ(com::ReportError(com::E_FAIL, u"plain", u"", nullptr, 0), com::E_FAIL);
  com::ComPtr<com::IErrorInfo> info;
  ASSERT_EQ(com::GetErrorInfo(0, info.put()), com::S_OK);
  EXPECT_EQ(com::MessageNumberOf(info.get()), 0);
  // One a host made with CreateErrorInfo can be given a number.
  com::ComPtr<com::ICreateErrorInfo> made;
  ASSERT_EQ(com::CreateErrorInfo(made.put()), com::S_OK);
  com::ComPtr<com::IErrorMessageNumber> carrier;
  ASSERT_EQ(made->QueryInterface(com::IID_IErrorMessageNumber, carrier.put_void()), com::S_OK);
  ASSERT_EQ(carrier->SetMessageNumber(20004), com::S_OK);
  com::ComPtr<com::IErrorInfo> as_info;
  ASSERT_EQ(made->QueryInterface(com::IID_IErrorInfo, as_info.put_void()), com::S_OK);
  EXPECT_EQ(com::MessageNumberOf(as_info.get()), 20004);
}

// Whether this thread holds an error object (left as it was).
bool Held() {
  com::ComPtr<com::IErrorInfo> info;
  if (com::GetErrorInfo(0, info.put()) != com::S_OK) return false;
  com::SetErrorInfo(0, info.get());
  return true;
}

// The error object is the thread's own: kept with one reference, handed
// over once, let go when replaced, and let go when its thread ends.
TEST(MessagesTest, ErrorObjectsBelongToTheirThreadAndAreLetGo) {
  com::ComPtr<com::ICreateErrorInfo> made;
  ASSERT_EQ(com::CreateErrorInfo(made.put()), com::S_OK);
  com::ComPtr<com::IErrorInfo> info;
  ASSERT_EQ(made->QueryInterface(com::IID_IErrorInfo, info.put_void()), com::S_OK);
  made.reset();
  // The references held now, as AddRef counts them.
  auto refs = [&] {
    info->AddRef();
    return info->Release();
  };
  const com::ULONG mine = refs();

  ASSERT_EQ(com::SetErrorInfo(0, info.get()), com::S_OK);
  EXPECT_EQ(refs(), mine + 1);
  EXPECT_TRUE(Held());
  std::thread([&] { EXPECT_FALSE(Held()); }).join();
  // Replaced by a report of this thread's own.
  ASSERT_EQ(com::ReportError(com::E_FAIL, u"newer", u"", nullptr, 0), com::E_FAIL);
  EXPECT_EQ(refs(), mine);
  ASSERT_EQ(com::SetErrorInfo(0, nullptr), com::S_OK);
  EXPECT_FALSE(Held());

  ASSERT_EQ(com::SetErrorInfo(0, info.get()), com::S_OK);
  com::ComPtr<com::IErrorInfo> taken;
  ASSERT_EQ(com::GetErrorInfo(0, taken.put()), com::S_OK);
  EXPECT_EQ(taken.get(), info.get());
  EXPECT_EQ(refs(), mine + 1);  // now held by `taken`
  com::ComPtr<com::IErrorInfo> again;
  EXPECT_EQ(com::GetErrorInfo(0, again.put()), com::S_FALSE);
  EXPECT_EQ(again.get(), nullptr);
  taken.reset();

  // Left set on threads that end, as a failed call leaves it.
  for (int i = 0; i < 3; ++i) {
    std::thread([&] {
      ASSERT_EQ(com::SetErrorInfo(0, info.get()), com::S_OK);
      EXPECT_TRUE(Held());
    }).join();
    EXPECT_EQ(refs(), mine) << "thread " << i;
  }
  std::thread([] {
    EXPECT_EQ(com::ReportError(com::E_FAIL, u"left", u"", nullptr, 0), com::E_FAIL);
  }).join();
  EXPECT_FALSE(Held());
}

}  // namespace
}  // namespace quillon
