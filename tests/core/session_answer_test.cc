#include "quillon/core/session_answer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "quillon/core/data_store.h"
#include "quillon/core/encoding.h"

namespace quillon::core {
namespace {

using namespace std::string_literals;

constexpr std::string_view kMarker = "QServerParams:";

// Random bytes of every value, as a binary file holds.
std::string Binary(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

// Whatever the answer and however it is cut into pieces, the incoming
// list must be the one that reading it whole gives: same names, same
// encoded values, same decoded bytes, same request-data text. Values that
// are their own encoding and long enough are kept as bytes; every other
// large run is put back and read as before.
TEST(SessionAnswerReaderTest, PiecesGiveWhatTheWholeAnswerGives) {
  const size_t big = SessionAnswerReader::kDecodeFrom + 5000;
  const std::string blob = EncodeValue(Binary(big, 1));
  std::string lower = blob;  // one escape in lower case: not its own encoding
  lower[lower.find('%', big / 2) + 1] = 'a';
  lower[lower.find('%', big / 2) + 2] = 'f';
  const std::string mb = std::string(big, 'x') + "\x82\xA0" + std::string(100, 'y');
  struct Case {
    const char* what;
    std::string answer;
    size_t kept;
  };
  const std::vector<Case> cases = {
      {"a large value", "QServerParams:Blob=" + blob + "&QServerResult=OK", 1},
      {"junk before the marker, two values", "<p>x</p>QServerParams:a=" + blob + "&b=1&c=" + blob,
       2},
      {"a value at the end of the answer", "QServerParams:c=" + blob, 1},
      {"a name-only pair takes the run after '&' as its value", "QServerParams:n&" + blob + "&r=1",
       1},
      {"'=' and '&' are skipped before a value", "QServerParams:n==&=" + blob + "?x=1", 1},
      {"'&' right after the name's '=' means no value", "QServerParams:n=&=" + blob + "?x=1", 0},
      {"a large name stays text", "QServerParams:" + blob + "=1&QServerResult=OK", 0},
      {"an escape in lower case", "QServerParams:v=" + lower + "&r=1", 0},
      {"an escape cut short at the end", "QServerParams:v=" + blob + "%4&r=1", 0},
      {"an escape cut short at the answer's end", "QServerParams:v=" + blob + "%", 0},
      {"a multibyte text", "QServerParams:v=" + mb + "&r=1", 0},
      {"a zero byte ends the answer", "QServerParams:v=" + blob + "\0" + "&r=1"s, 1},
      {"a zero byte inside the first value", "QServerParams:v=AB\0"s + blob, 0},
      {"no marker", "<html>Internal error " + blob + "</html>", 0},
      {"the marker twice", "QServerParams:a=1&QServerParams:b=" + blob, 1},
  };
  for (const Case& c : cases) {
    // Read whole, as the client read answers before.
    const std::string text = c.answer.substr(0, c.answer.find('\0'));
    const size_t marker = text.find(kMarker);
    NamedValues whole;
    if (marker != std::string::npos) {
      whole.TakeIncomingFrom(text, marker + kMarker.size(), /*decode_names=*/false);
    }
    for (size_t piece : {size_t{1}, size_t{3}, size_t{16384}, c.answer.size()}) {
      SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
      if (piece == 1 && c.answer.size() > 300000) continue;
      SessionAnswerReader reader;
      reader.Announce(static_cast<int64_t>(c.answer.size()));
      for (size_t at = 0; at < c.answer.size(); at += piece) {
        reader.Append(std::string_view(c.answer).substr(at, piece));
      }
      reader.Finish();
      ASSERT_EQ(reader.has_pairs(), marker != std::string::npos);
      if (!reader.has_pairs()) {
        EXPECT_EQ(reader.text(), text);
        continue;
      }
      // A run is decoded once it is still open at the end of a piece, so
      // read whole only a value at the very end could be.
      if (piece < c.answer.size()) {
        EXPECT_EQ(reader.kept_count(), c.kept);
      }
      NamedValues read;
      read.AppendString("out", "kept apart");
      reader.MoveInto(&read);
      EXPECT_EQ(read.IncomingNames(), whole.IncomingNames());
      EXPECT_EQ(read.IncomingValues(), whole.IncomingValues());
      EXPECT_EQ(read.RequestDataText(), whole.RequestDataText());
      for (size_t i = 0; i < whole.IncomingCount(); ++i) {
        EXPECT_EQ(read.DecodedAt(i), whole.DecodedAt(i)) << "entry " << i;
      }
      EXPECT_EQ(read.DataNames(), whole.DataNames());
      EXPECT_EQ(read.RequestBody(), "out=kept+apart");
      read.ClearIncoming();
      EXPECT_EQ(read.IncomingCount(), 0u);
    }
  }
}

// The accessors see a kept value whole: as bytes, as text up to its first
// zero byte, and as a file.
TEST(SessionAnswerReaderTest, KeptValuesAnswerEveryAccessor) {
  const std::string bytes = Binary(SessionAnswerReader::kDecodeFrom, 2);
  const size_t zero = bytes.find('\0');
  ASSERT_LT(zero, bytes.size());
  SessionAnswerReader reader;
  const std::string answer = "QServerParams:Blob=" + EncodeValue(bytes) + "&Blob=2";
  for (size_t at = 0; at < answer.size(); at += 4096) reader.Append(answer.substr(at, 4096));
  reader.Finish();
  ASSERT_EQ(reader.kept_count(), 1u);
  NamedValues store;
  reader.MoveInto(&store);
  EXPECT_EQ(store.GetBytes("blob", 0), bytes);
  EXPECT_EQ(store.GetString("BLOB", 0), bytes.substr(0, zero));
  EXPECT_EQ(store.GetString("Blob", 1), "2");
  EXPECT_EQ(store.SubIndexCount("blob"), 2);
  EXPECT_EQ(store.IncomingValue(0), "") << "a kept value is not in the text";
}

}  // namespace
}  // namespace quillon::core
