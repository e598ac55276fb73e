#include "quillon/core/data_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "quillon/component/errors.h"
#include "quillon/component/variant.h"
#include "quillon/core/encoding.h"
#include "quillon/platform/codepage.h"
#include "tests/support/message_language.h"

namespace quillon::core {
namespace {

using platform::CodePage;
using namespace std::string_literals;
using Strings = std::vector<std::string>;

const CodePage& Cp932() { return CodePage::Get(CodePage::kJapanese); }
const CodePage& Cp65001() { return CodePage::Get(CodePage::kUtf8); }

// The number of the quillon::Error that `body` throws, or 0.
template <class F>
int ErrorNumber(F&& body) {
  try {
    body();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

class TempDir {
 public:
  TempDir() {
    std::string templ = ::testing::TempDir() + "core_test_XXXXXX";
    path_ = mkdtemp(templ.data());
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(SessionTextTest, ExactBytes) {
  NamedValues store(NotFoundReport::kWithName, Cp932());
  store.AppendString("n", "1 2");
  EXPECT_EQ(store.SessionText(EncodeText("OK")), "QServerParams:n=1+2&QServerResult=OK");

  store.AppendBytes("b", "\0\xFF"s);
  EXPECT_EQ(store.SessionText(""), "QServerParams:n=1+2&b=%00%FF&QServerResult=");
}

TEST(SessionTextTest, EmptyOutgoingList) {
  NamedValues store;
  EXPECT_EQ(store.SessionText(EncodeText("a b")), "QServerParams:QServerResult=a+b");
}

TEST(SessionTextTest, RequestBodyAndRequestDataText) {
  NamedValues store(NotFoundReport::kBare, Cp932());
  EXPECT_EQ(store.RequestBody(), "");
  EXPECT_EQ(store.OutgoingRequestDataText(), "\r\n");
  store.AppendString("name", "a");
  store.AppendString("kind", "b&c");
  EXPECT_EQ(store.RequestBody(), "name=a&kind=b%26c");
  EXPECT_EQ(store.OutgoingRequestDataText(), "\r\nname=a&kind=b%26c");

  store.FillIncoming("a=1&b=x%20y");
  EXPECT_EQ(store.RequestDataText(), "\r\na=1&b=x%20y");
}

// Large byte values are kept as bytes and encoded only on the way out: every
// text made of the outgoing list, and the body read a buffer at a time, must
// be what encoding every value on the way in gives.
TEST(SessionTextTest, KeptBytesComeOutEncodedEverywhere) {
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
  std::string large;
  while (large.size() < NamedValues::kBytesKeptFrom + 7) large += every_byte;
  const std::string just_below(NamedValues::kBytesKeptFrom - 1, '%');
  const std::vector<std::vector<std::pair<std::string, std::string>>> lists = {
      {},
      {{"a", "1"}},
      {{"name", "a b"}, {"", ""}, {"x", "\0\xFF=&"s}, {"n", ""}},
      {{"big", large}},
      {{"", large}, {"t", "a b"}, {"big2", large}, {"below", just_below}},
  };
  for (const auto& list : lists) {
    NamedValues store(NotFoundReport::kBare, Cp932());
    Strings encoded;
    std::string joined;
    for (const auto& [name, value] : list) {
      store.AppendBytes(name, value);
      encoded.push_back(EncodeValue(value));
      if (encoded.size() > 1) joined += '&';
      joined += name + "=" + encoded.back();
    }
    SCOPED_TRACE(list.size());
    EXPECT_EQ(store.outgoing_values(), encoded);
    EXPECT_EQ(store.RequestBody(), joined);
    EXPECT_EQ(store.OutgoingRequestDataText(), "\r\n" + joined);
    std::string session = "QServerParams:";
    for (size_t i = 0; i < list.size(); ++i) session += list[i].first + "=" + encoded[i] + "&";
    EXPECT_EQ(store.SessionText("OK"), session + "QServerResult=OK");
    for (size_t room : {3u, 4u, 5u, 16384u}) {
      RequestBodyReader reader(store);
      EXPECT_EQ(reader.size(), joined.size());
      std::string read;
      std::vector<char> buffer(room);
      while (const size_t n = reader.Read(buffer.data(), room)) {
        ASSERT_LE(n, room);
        read.append(buffer.data(), n);
      }
      EXPECT_EQ(read, joined) << "in rooms of " << room;
    }
  }
}

// A large file is kept as its bytes as well, and reads back whole.
TEST(SessionTextTest, LargeFilesAreKeptAsTheirBytes) {
  TempDir dir;
  const std::string path = dir.File("large.bin");
  std::string bytes(NamedValues::kBytesKeptFrom * 2 + 3, 'z');
  for (size_t i = 0; i < bytes.size(); i += 97) bytes[i] = static_cast<char>(i);
  WriteFile(path, bytes);
  NamedValues store;
  store.AppendFile("f", path);
  EXPECT_EQ(store.RequestBody(), "f=" + EncodeValue(bytes));
  store.FillIncoming(store.RequestBody());
  EXPECT_EQ(store.GetBytes("f", 0), bytes);
}

TEST(OutgoingTest, StringsStopAtZeroBytesDoNot) {
  NamedValues store;
  store.AppendString("s", "ab\0cd"s);
  store.AppendBytes("b", "ab\0cd"s);
  store.AppendString("e", "");
  EXPECT_EQ(store.outgoing_names(), (Strings{"s", "b", "e"}));
  EXPECT_EQ(store.outgoing_values(), (Strings{"ab", "ab%00cd", ""}));
  store.ResetContents();
  EXPECT_TRUE(store.outgoing_names().empty());
  EXPECT_TRUE(store.outgoing_values().empty());
}

TEST(OutgoingTest, ResetLeavesIncomingAlone) {
  NamedValues store;
  store.FillIncoming("a=1");
  store.AppendString("x", "y");
  store.ResetContents();
  EXPECT_EQ(store.GetString("a", 0), "1");
}

TEST(OutgoingTest, FileIsReadWhole) {
  TempDir dir;
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string content = all + all + all + all + all;  // more than one 1024-byte piece
  WriteFile(dir.File("f.bin"), content);
  WriteFile(dir.File("empty"), "");
  NamedValues store;
  store.AppendFile("f", dir.File("f.bin"));
  store.AppendFile("e", dir.File("empty"));
  EXPECT_EQ(store.outgoing_values(), (Strings{EncodeValue(content), ""}));
}

TEST(OutgoingTest, MissingFileFailsWith10002AndListsStayAsTheyWere) {
  TempDir dir;
  NamedValues store;
  store.AppendString("a", "1");
  EXPECT_EQ(ErrorNumber([&] { store.AppendFile("f", dir.File("missing")); }), kMsgFileRead);
  EXPECT_EQ(ErrorNumber([&] { store.AppendFile("f", dir.File("")); }), kMsgFileRead);
  EXPECT_EQ(store.outgoing_names(), Strings{"a"});
  EXPECT_EQ(store.outgoing_values(), Strings{"1"});
}

TEST(IncomingTest, NamesDecodedValuesKeptEncoded) {
  NamedValues server(NotFoundReport::kWithName, Cp932());
  server.FillIncoming("n%41me=%41&a+b=x+y");
  EXPECT_EQ(server.IncomingNames(), (Strings{"nAme", "a b"}));
  EXPECT_EQ(server.IncomingValues(), (Strings{"%41", "x+y"}));
  EXPECT_EQ(server.GetString("name", 0), "A");

  NamedValues client(NotFoundReport::kBare, Cp932());
  client.FillIncoming("n%41me=%41", /*decode_names=*/false);
  EXPECT_EQ(client.IncomingNames(), Strings{"n%41me"});
  EXPECT_EQ(client.DataNames(), Strings{"n%41me"});
}

// Taking a whole answer and splitting it from an offset gives the entries
// that filling from the same text would, and appends like a fill.
TEST(IncomingTest, TakingFromAnOffsetEqualsFillingTheRest) {
  const std::string answer = "junk&x=9 QServerParams:n%41me=%41&a=1&&b&\0c=3"s;
  const size_t from = answer.find(':') + 1;
  NamedValues filled(NotFoundReport::kBare, Cp932());
  filled.FillIncoming("old=1", false);
  filled.FillIncoming(std::string_view(answer).substr(from), false);
  NamedValues taken(NotFoundReport::kBare, Cp932());
  taken.FillIncoming("old=1", false);
  taken.TakeIncomingFrom(answer, from, false);
  EXPECT_EQ(taken.IncomingNames(), filled.IncomingNames());
  EXPECT_EQ(taken.IncomingValues(), filled.IncomingValues());
  EXPECT_EQ(taken.DataNames(), filled.DataNames());
  EXPECT_EQ(taken.IncomingNames(), (Strings{"old", "n%41me", "a", "b"}));
  EXPECT_EQ(taken.GetString("N%41ME", 0), "A");

  NamedValues beyond(NotFoundReport::kBare, Cp932());
  beyond.TakeIncomingFrom("a=1", 10, false);
  EXPECT_EQ(beyond.IncomingCount(), 0u);
}

TEST(IncomingTest, SecondFillAppendsAndDoesNotDecodeOldNamesAgain) {
  NamedValues store;
  store.FillIncoming("a%252B=1&x=1");
  store.FillIncoming("b=2&x=3&a%252B=4");
  EXPECT_EQ(store.IncomingNames(), (Strings{"a%2B", "x", "b", "x", "a%2B"}));
  EXPECT_EQ(store.DataNames(), (Strings{"a%2B", "x", "b"}));
  EXPECT_EQ(store.SubIndexCount("X"), 2);
  EXPECT_EQ(store.GetString("x", 1), "3");
}

TEST(IncomingTest, DistinctNamesKeepExactBytesLookupsIgnoreCase) {
  NamedValues store;
  store.FillIncoming("Name=1&NAME=2&Name=3");
  EXPECT_EQ(store.DataNameCount(), 2);
  EXPECT_EQ(store.DataName(0), "Name");
  EXPECT_EQ(store.DataName(1), "NAME");
  EXPECT_EQ(store.SubIndexCount("name"), 3);
  EXPECT_EQ(store.SubIndexCount("other"), 0);
  EXPECT_EQ(store.GetString("name", 1), "2");
  EXPECT_EQ(store.FindEntry("nAmE", 2), std::optional<size_t>(2));
  EXPECT_EQ(store.FindEntry("name", 3), std::nullopt);
  EXPECT_EQ(store.FindEntry("name", -1), std::nullopt);
}

TEST(IncomingTest, IndexOutOfRangeFailsWith10004) {
  NamedValues store;
  store.FillIncoming("a=1&b=2");
  EXPECT_EQ(ErrorNumber([&] { store.DataName(-1); }), kMsgBadIndex);
  EXPECT_EQ(ErrorNumber([&] { store.DataName(2); }), kMsgBadIndex);
  EXPECT_EQ(store.DataName(1), "b");
}

TEST(IncomingTest, DoubleByteNamesMatchWholeCharacters) {
  // 0x83 0x61 is one character whose trail byte happens to be 'a'; 0x83
  // 0x41 ('A' as trail) is another. Upper-casing must not merge them.
  NamedValues store(NotFoundReport::kWithName, Cp932());
  store.FillIncoming("\x83\x61=1&x\x83\x61=2");
  EXPECT_EQ(store.FindEntry("\x83\x61", 0), std::optional<size_t>(0));
  EXPECT_EQ(store.FindEntry("\x83\x41", 0), std::nullopt);
  EXPECT_EQ(store.SubIndexCount("\x83\x41"), 0);
  EXPECT_EQ(store.FindEntry("X\x83\x61", 0), std::optional<size_t>(1));

  // In UTF-8 the same bytes are two single-byte characters after all.
  NamedValues utf8(NotFoundReport::kWithName, Cp65001());
  utf8.FillIncoming("\x83\x61=1");
  EXPECT_EQ(utf8.FindEntry("\x83\x41", 0), std::optional<size_t>(0));
}

TEST(IncomingTest, ZeroBytesSurviveBytesAndFilesNotStrings) {
  TempDir dir;
  NamedValues store;
  store.FillIncoming("b=A%00B&e=");
  EXPECT_EQ(store.GetBytes("b", 0), "A\0B"s);
  EXPECT_EQ(store.GetString("b", 0), "A");
  store.GetFile("b", 0, dir.File("b.bin"));
  EXPECT_EQ(ReadFile(dir.File("b.bin")), "A\0B"s);

  EXPECT_EQ(store.GetString("e", 0), "");
  EXPECT_EQ(store.GetBytes("e", 0), "");
  WriteFile(dir.File("e.bin"), "old content");
  store.GetFile("e", 0, dir.File("e.bin"));
  EXPECT_TRUE(access(dir.File("e.bin").c_str(), F_OK) == 0);
  EXPECT_EQ(ReadFile(dir.File("e.bin")), "");
}

TEST(IncomingTest, FileFailures) {
  TempDir dir;
  NamedValues store;
  store.FillIncoming("b=1");
  EXPECT_EQ(ErrorNumber([&] { store.GetFile("b", 0, dir.File("no/such/dir")); }), kMsgFileWrite);
  EXPECT_EQ(ErrorNumber([&] { store.GetFile("c", 0, dir.File("c.bin")); }), kMsgNoParameter);
  EXPECT_NE(access(dir.File("c.bin").c_str(), F_OK), 0) << "not-found must not create the file";
}

TEST(NotFoundTest, ClientGetsBareMessage) {
  NamedValues client(NotFoundReport::kBare, Cp932());
  try {
    client.GetString("missing", 0);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), 10005);
    EXPECT_FALSE(e.composed());
    EXPECT_EQ(e.Description(), MessageText16(10005));
  }
}

TEST(NotFoundTest, ServerAppendsTheNameAsUtf16) {
  NamedValues server(NotFoundReport::kWithName, Cp932());
  server.FillIncoming("x=1");
  struct Case {
    std::string name;
    int32_t sub_index;
    std::u16string appended;
  };
  // 0x96 0xBC is U+540D in 932.
  for (const Case& c : {Case{"\x96\xBC", 0, u"\u540D"}, Case{"x", 1, u"x"}}) {
    for (bool bytes : {false, true}) {
      try {
        if (bytes) {
          server.GetBytes(c.name, c.sub_index);
        } else {
          server.GetString(c.name, c.sub_index);
        }
        ADD_FAILURE() << "no error for " << c.name;
      } catch (const Error& e) {
        EXPECT_EQ(e.number(), 10005);
        EXPECT_TRUE(e.composed());
        EXPECT_EQ(e.appended(), c.appended);
        EXPECT_EQ(e.Description(),
                  u"\u6307\u5B9A\u3055\u308C\u305F\uFF23\uFF27\uFF29\u30D1\u30E9\u30E1"
                  u"\u30FC\u30BF\u306F\u5B58\u5728\u3057\u307E\u305B\u3093\u3002 "
                  u"\u30D1\u30E9\u30E1\u30FC\u30BF\u540D\uFF1D" +
                      c.appended);
      }
    }
  }
}

// Under QUILLON_MESSAGES=en a failure names what it was given; the number,
// whether it is composed, and the Japanese description stay as they were.
TEST(EnglishMessagesTest, FailuresNameWhatTheyWereGiven) {
  TempDir dir;
  NamedValues client(NotFoundReport::kBare, Cp932());
  NamedValues server(NotFoundReport::kWithName, Cp932());
  for (NamedValues* store : {&client, &server}) store->FillIncoming("b=1&x=1&x=2");
  const std::string missing = dir.File("missing.bin");
  const std::string unwritable = dir.File("no/such/dir");
  const std::u16string missing16 = com::Utf8ToUtf16(missing);
  const std::u16string unwritable16 = com::Utf8ToUtf16(unwritable);
  testing::ExpectFailuresInBothLanguages({
      {"AppendFile", [&] { client.AppendFile("f", missing); }, kMsgFileRead,
       u"The file does not exist or cannot be read. File: " + missing16, u""},
      {"GetFile", [&] { server.GetFile("b", 0, unwritable); }, kMsgFileWrite,
       u"The file cannot be written. File: " + unwritable16, u""},
      {"DataName past the end", [&] { client.DataName(3); }, kMsgBadIndex,
       u"The index is not valid. Index: 3 (2 names)", u""},
      {"DataName negative", [&] { server.DataName(-1); }, kMsgBadIndex,
       u"The index is not valid. Index: -1 (2 names)", u""},
      {"client, no such name", [&] { client.GetString("nm", 0); }, kMsgNoParameter,
       u"The CGI parameter does not exist. Parameter name: nm", u""},
      {"server, no such name", [&] { server.GetBytes("nm", 0); }, kMsgNoParameter,
       u"The CGI parameter does not exist. Parameter name: nm", u"nm"},
      // 0x96 0xBC is U+540D in 932: the name as the script gave it.
      {"server, double-byte name", [&] { server.GetString("\x96\xBC", 0); }, kMsgNoParameter,
       u"The CGI parameter does not exist. Parameter name: \u540D", u"\u540D"},
      {"client, name with too few values", [&] { client.GetString("b", 1); }, kMsgNoParameter,
       u"The CGI parameter does not exist. Parameter name: b, sub-index 1 (1 value by that name)",
       u""},
      {"server, name with too few values", [&] { server.GetFile("X", 2, missing); },
       kMsgNoParameter,
       u"The CGI parameter does not exist. Parameter name: X, sub-index 2 (2 values by that name)",
       u"X"},
  });
}

TEST(IncomingTest, ClearIncomingEmptiesEverythingIncoming) {
  NamedValues store;
  store.FillIncoming("a=1");
  store.uploads().Append("f.txt", "text/plain");
  store.AppendString("o", "1");
  store.ClearIncoming();
  EXPECT_TRUE(store.IncomingNames().empty());
  EXPECT_TRUE(store.IncomingValues().empty());
  EXPECT_EQ(store.DataNameCount(), 0);
  EXPECT_EQ(store.SubIndexCount("a"), 0);
  EXPECT_TRUE(store.uploads().empty());
  EXPECT_EQ(store.outgoing_names().size(), 1u);
}

// The lookups as a plain walk over the incoming names: what the index must
// reproduce exactly.
std::vector<size_t> ScanMatches(const NamedValues& store, const Strings& upper_names,
                                std::string_view name) {
  const std::string key = store.code_page().ToUpper(name.substr(0, name.find('\0')));
  std::vector<size_t> matches;
  for (size_t i = 0; i < upper_names.size(); ++i) {
    if (upper_names[i] == key) matches.push_back(i);
  }
  return matches;
}

TEST(IncomingIndexTest, LookupsEqualTheLinearScan) {
  // Names from a small alphabet with letters of both cases, double-byte
  // characters whose trail bytes are letters, and escapes, so that many
  // names collide after upper-casing and some only look alike.
  const std::vector<std::string> pieces = {"a",        "A",   "b", "\x83\x61",
                                           "\x83\x41", "%61", "z", "%00q"};
  for (const CodePage* cp : {&Cp932(), &Cp65001()}) {
    unsigned seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
    NamedValues store(NotFoundReport::kWithName, *cp);
    for (int fill = 0; fill < 3; ++fill) {  // a later fill must refresh the index
      std::string text;
      std::vector<std::string> probes;
      for (int pair = 0; pair < 200; ++pair) {
        std::string name;
        for (unsigned k = next() % 3 + 1; k > 0; --k) name += pieces[next() % pieces.size()];
        text += name + "=" + std::to_string(pair) + "&";
        probes.push_back(DecodeValue(name, *cp));
      }
      store.FillIncoming(text);
      Strings upper;
      for (const std::string& name : store.IncomingNames()) upper.push_back(cp->ToUpper(name));
      probes.push_back("nothing");
      for (const std::string& probe : probes) {
        const std::vector<size_t> expected = ScanMatches(store, upper, probe);
        ASSERT_EQ(store.SubIndexCount(probe), static_cast<int32_t>(expected.size())) << probe;
        EXPECT_EQ(store.FindEntry(probe, -1), std::nullopt);
        for (size_t sub = 0; sub <= expected.size(); ++sub) {
          const std::optional<size_t> want =
              sub < expected.size() ? std::optional<size_t>(expected[sub]) : std::nullopt;
          ASSERT_EQ(store.FindEntry(probe, static_cast<int32_t>(sub)), want) << probe << " " << sub;
        }
      }
    }
    store.ClearIncoming();
    EXPECT_EQ(store.SubIndexCount("a"), 0);
    store.FillIncoming("a=1");
    EXPECT_EQ(store.SubIndexCount("A"), 1);
  }
}

TEST(IncomingIndexTest, EnumeratingManyPairsIsNotQuadratic) {
  // 64k entries of one name and 64k distinct names: with a scan per
  // lookup this is billions of comparisons and does not finish in time.
  std::string text;
  for (int i = 0; i < 65536; ++i)
    text += "same=" + std::to_string(i) + "&n" + std::to_string(i) + "=x&";
  NamedValues store;
  store.FillIncoming(text);
  ASSERT_EQ(store.SubIndexCount("SAME"), 65536);
  for (int32_t i = 0; i < 65536; ++i) {
    ASSERT_EQ(store.FindEntry("same", i), std::optional<size_t>(2 * static_cast<size_t>(i)));
    ASSERT_EQ(store.SubIndexCount("N" + std::to_string(i)), 1);
  }
}

TEST(ZeroBytesInDecodedNamesTest, NameEndsAtItsFirstZeroByte) {
  TempDir dir;
  NamedValues store(NotFoundReport::kWithName, Cp65001());
  store.FillIncoming("n%00m=1&x=2&%00=3");
  EXPECT_EQ(store.IncomingNames(), (Strings{"n", "x", ""}));
  EXPECT_EQ(store.DataNames(), (Strings{"n", "x", ""}));
  EXPECT_EQ(store.GetString("n", 0), "1");
  EXPECT_EQ(store.GetString("n\0m"s, 0), "1");  // a looked-up name ends there as well
  EXPECT_EQ(store.SubIndexCount("N\0other"s), 1);
  // The saved text carries no raw zero, so a replay keeps every pair.
  const std::string saved = store.RequestDataText();
  EXPECT_EQ(saved, "\r\nn=1&x=2&=3");
  NamedValues replay(NotFoundReport::kWithName, Cp65001());
  replay.FillIncoming(saved);
  EXPECT_EQ(replay.GetString("x", 0), "2");
}

TEST(FilesThatCannotBeTruncatedTest, DevNullAndPipesTakeTheBytes) {
  NamedValues store;
  store.FillIncoming("b=hello");
  store.GetFile("b", 0, "/dev/null");  // no 10003
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  store.GetFile("b", 0, "/proc/self/fd/" + std::to_string(fds[1]));
  char buffer[16] = {};
  EXPECT_EQ(read(fds[0], buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer), "hello");
  close(fds[0]);
  close(fds[1]);
  // A regular file is still replaced, not appended to or overlaid.
  TempDir dir;
  WriteFile(dir.File("f"), "a much longer old content");
  store.GetFile("b", 0, dir.File("f"));
  EXPECT_EQ(ReadFile(dir.File("f")), "hello");
}

}  // namespace
}  // namespace quillon::core
