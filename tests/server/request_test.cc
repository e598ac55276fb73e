// Request intake: CONTENT_LENGTH, the body reader, URL-encoded and
// multipart parsing into the incoming list, and the cookie and captured
// environment scanners.
#include "server/request.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "quillon/core/encoding.h"
#include "quillon/platform/codepage.h"
#include "server/values.h"
#include "tests/server/fake_io.h"
#include "tests/support/cpu_time.h"

namespace quillon::server {
namespace {

using namespace std::string_literals;
using Pairs = std::vector<std::pair<std::string, std::string>>;

const platform::CodePage& Utf8() { return platform::CodePage::Get(platform::CodePage::kUtf8); }

// What a script can see of the incoming side.
struct Observed {
  Pairs entries;  // name, decoded bytes
  std::vector<std::string> data_names;
  std::vector<std::string> file_names;
  std::vector<std::string> content_types;
  std::string request_data;

  bool operator==(const Observed&) const = default;
};

Observed Observe(const ServerValues& values) {
  Observed o;
  const auto names = values.store().IncomingNames();
  for (size_t i = 0; i < names.size(); ++i) o.entries.emplace_back(names[i], values.BytesAt(i));
  o.data_names = values.store().DataNames();
  const core::UploadInfo& uploads = values.store().uploads();
  for (size_t i = 0; i < uploads.size(); ++i) {
    o.file_names.emplace_back(uploads.file_name(i));
    o.content_types.emplace_back(uploads.content_type(i));
  }
  o.request_data = values.RequestDataText();
  return o;
}

// A request's texts with no limit on its pairs or parts.
RequestText Unlimited(std::string_view content_type, std::string_view query) {
  return RequestText{content_type, query, std::nullopt, std::nullopt};
}

Observed Parse(std::string_view content_type, std::string_view query,
               std::optional<std::string> body, size_t threshold = kRawPartThreshold) {
  ServerValues values(Utf8());
  std::optional<RequestBody> buffer;
  if (body) buffer = CopyBody(*body);
  ParseRequest(Unlimited(content_type, query), buffer ? &*buffer : nullptr, &values, threshold);
  return Observe(values);
}

// --- CONTENT_LENGTH --------------------------------------------------------------

TEST(ContentLength, ReadsLikeAtoi) {
  const std::vector<std::pair<std::string, int64_t>> cases = {
      {"", 0},          {"0", 0},        {"12", 12},     {"  \t\n12", 12},
      {"+12", 12},      {"-5", -5},      {"12abc", 12},  {"abc", 0},
      {"- 5", 0},       {"--5", 0},      {"1 2", 1},     {"007", 7},
      {"99999999999999999999999", std::numeric_limits<int64_t>::max()},
      {"-99999999999999999999999", -std::numeric_limits<int64_t>::max()},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(ParseContentLength(text), expected) << "'" << text << "'";
  }
}

// --- Body reader --------------------------------------------------------------------

TEST(ReadBody, StopsAtThePromisedLength) {
  auto io = testing::MakeIo({}, "abcdefgh");
  EXPECT_EQ(ReadBody(*io, 5).bytes, "abcde");
  EXPECT_EQ(io->consumed, 5u) << "must not read past CONTENT_LENGTH";
}

TEST(ReadBody, ShortInputGivesTheBytesThatArrived) {
  auto io = testing::MakeIo({}, "abc");
  EXPECT_EQ(ReadBody(*io, 100).bytes, "abc");
}

TEST(ReadBody, CollectsSmallPieces) {
  std::string input(3 * kReadPiece + 17, '\0');
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>(i * 7);
  auto io = testing::MakeIo({}, input);
  io->piece = 1000;
  EXPECT_EQ(ReadBody(*io, static_cast<int64_t>(input.size())).bytes, input);
}

TEST(ReadBody, GrowsWithTheDataPastAnUntrustedPromise) {
  std::string input(2 * kReadPiece + 4097, '\0');
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>(i * 13 + (i >> 12));
  auto io = testing::MakeIo({}, input);
  io->piece = 100000;
  EXPECT_EQ(ReadBody(*io, std::numeric_limits<int64_t>::max()).bytes, input);
}

TEST(ReadBody, HugePromiseCostsOnlyWhatArrives) {
  // Reserving what CONTENT_LENGTH promises would fail (or be refused by the
  // sanitizer's allocator) long before these five bytes are read.
  auto io = testing::MakeIo({}, "hello");
  EXPECT_EQ(ReadBody(*io, std::numeric_limits<int64_t>::max()).bytes, "hello");
}

TEST(ReadBody, NothingForZeroOrNegative) {
  auto io = testing::MakeIo({}, "abc");
  EXPECT_EQ(ReadBody(*io, 0).bytes, "");
  EXPECT_EQ(ReadBody(*io, -1).bytes, "");
  EXPECT_EQ(io->reads, 0);
}

// --- URL-encoded requests ---------------------------------------------------------

struct UrlCase {
  const char* label;
  std::string content_type;
  std::string query;
  std::optional<std::string> body;
  Pairs entries;
};

class UrlEncoded : public ::testing::TestWithParam<UrlCase> {};

TEST_P(UrlEncoded, FillsTheIncomingList) {
  const UrlCase& c = GetParam();
  EXPECT_EQ(Parse(c.content_type, c.query, c.body).entries, c.entries);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UrlEncoded,
    ::testing::Values(
        UrlCase{"get_query", "", "a=1&b=x%20y", std::nullopt, {{"a", "1"}, {"b", "x y"}}},
        UrlCase{"post_after_query", "application/x-www-form-urlencoded", "id=7", "name=Taro",
                {{"id", "7"}, {"name", "Taro"}}},
        UrlCase{"client_post_without_type", "", "", "n=1+2&k=%00z",
                {{"n", "1 2"}, {"k", "\0z"s}}},
        UrlCase{"body_ends_at_zero", "", "", "a=1\0b=2"s, {{"a", "1"}}},
        UrlCase{"empty_body", "", "q=1", "", {{"q", "1"}}},
        UrlCase{"nothing", "", "", std::nullopt, {}},
        UrlCase{"names_are_decoded", "", "%41+b=1&c%2B=2", std::nullopt,
                {{"A b", "1"}, {"c+", "2"}}},
        UrlCase{"pair_grammar", "", "a&b=1", std::nullopt, {{"a", "b"}, {"1", ""}}},
        UrlCase{"raw_multibyte_value_kept", "", "n=\xE5\x90\x8D+%41", std::nullopt,
                {{"n", "\xE5\x90\x8D+%41"}}}),
    [](const auto& test) { return std::string(test.param.label); });

TEST(UrlEncodedDistinctNames, KeepExactBytes) {
  const Observed o = Parse("", "Name=1&NAME=2&Name=3", std::nullopt);
  EXPECT_EQ(o.data_names, (std::vector<std::string>{"Name", "NAME"}));
  EXPECT_TRUE(o.file_names.empty());
}

// --- Multipart requests -------------------------------------------------------------

constexpr std::string_view kBoundary = "----QuillonBoundary7MA4";

std::string FormType() { return "multipart/form-data; boundary=" + std::string(kBoundary); }

struct FormPart {
  std::string header;
  std::string data;
};

// A body as browsers send it: every part after "--" boundary CR LF, its
// header lines, a blank line, its data and CR LF; then the closing
// boundary.
std::string Form(const std::vector<FormPart>& parts) {
  std::string body;
  for (const FormPart& part : parts) {
    body += "--" + std::string(kBoundary) + "\r\n" + part.header + "\r\n\r\n" + part.data + "\r\n";
  }
  return body + "--" + std::string(kBoundary) + "--\r\n";
}

FormPart Field(std::string name, std::string value) {
  return {"Content-Disposition: form-data; name=\"" + name + "\"", std::move(value)};
}

FormPart File(std::string name, std::string file_name, std::string type, std::string data) {
  return {"Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + file_name +
              "\"\r\nContent-Type: " + type,
          std::move(data)};
}

const std::string kBinary = "GIF89a\0\x01\x02\r\n--\xFF\0\0\x80 end"s;

struct MultipartCase {
  const char* label;
  std::string content_type;
  std::string query;
  std::optional<std::string> body;
  Pairs entries;
  std::vector<std::string> file_names;
  std::vector<std::string> content_types;
};

std::vector<MultipartCase> MultipartCases() {
  return {
      {"text_and_file",
       FormType(),
       "",
       Form({Field("title", "Hello world"), File("f", "a.gif", "image/gif", kBinary)}),
       {{"title", "Hello world"}, {"f", kBinary}},
       {"", "a.gif"},
       {"", "image/gif"}},
      {"query_pairs_get_blank_upload_info",
       FormType(),
       "x=1&y=2",
       Form({File("f", "b.bin", "application/octet-stream", "\0\0"s)}),
       {{"x", "1"}, {"y", "2"}, {"f", "\0\0"s}},
       {"", "", "b.bin"},
       {"", "", "application/octet-stream"}},
      {"no_boundary_parses_nothing", "multipart/form-data", "x=1", Form({Field("a", "1")}),
       {}, {""}, {""}},
      {"quoted_boundary_is_not_unquoted",
       "multipart/form-data; boundary=\"" + std::string(kBoundary) + "\"",
       "x=1",
       Form({Field("a", "1")}),
       {{"x", "1"}},
       {""},
       {""}},
      {"no_body", FormType(), "q=1", std::nullopt, {{"q", "1"}}, {""}, {""}},
      {"case_of_the_type_does_not_matter",
       "Multipart/Form-Data; boundary=" + std::string(kBoundary),
       "",
       Form({Field("a", "1")}),
       {{"a", "1"}},
       {""},
       {""}},
      {"part_without_blank_line_ends_the_loop",
       FormType(),
       "",
       Form({Field("a", "1")}).substr(0, Form({Field("a", "1")}).size() - 4) + "\r\n--" +
           std::string(kBoundary) + "\r\nContent-Disposition: form-data; name=\"b\"",
       {{"a", "1"}},
       {""},
       {""}},
      {"part_without_name_ends_the_loop",
       FormType(),
       "",
       Form({Field("a", "1"), {"Content-Disposition: form-data", "x"}, Field("c", "3")}),
       {{"a", "1"}},
       {""},
       {""}},
      {"boundary_right_after_blank_line_gives_empty_data",
       FormType(),
       "",
       "--" + std::string(kBoundary) + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n--" +
           std::string(kBoundary) + "--\r\n",
       {{"a", ""}},
       {""},
       {""}},
      {"empty_boundary_never_gives_negative_length",
       "multipart/form-data; boundary=",
       "",
       "Content-Disposition: form-data; name=\"a\"\r\n\r\nxyz",
       {{"a", ""}},
       {""},
       {""}},
      {"data_may_hold_crlf_dashes", FormType(), "", Form({Field("a", "1\r\n--2\r\n")}),
       {{"a", "1\r\n--2\r\n"}}, {""}, {""}},
      {"last_part_without_closing_boundary",
       FormType(),
       "",
       "--" + std::string(kBoundary) + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nabcdef",
       {{"a", "ab"}},
       {""},
       {""}},
      {"names_are_decoded_values_kept", FormType(), "", Form({Field("%41+x", "a+b%20")}),
       {{"A x", "a+b%20"}}, {""}, {""}},
      {"multibyte_name", FormType(), "", Form({Field("\xE5\x90\x8D", "v")}),
       {{"\xE5\x90\x8D", "v"}}, {""}, {""}},
      {"content_type_header_is_case_sensitive",
       FormType(),
       "",
       Form({{"Content-Disposition: form-data; name=\"f\"; filename=\"x\"\r\ncontent-type: a/b",
              "1"}}),
       {{"f", "1"}},
       {"x"},
       {""}},
      {"name_is_found_inside_filename_first",
       FormType(),
       "",
       Form({{"Content-Disposition: form-data; filename=\"pic.png\"; name=\"f\"", "1"}}),
       {{"pic.png", "1"}},
       {"pic.png"},
       {""}},
      {"zero_in_preamble_hides_the_parts", FormType(), "q=1", "\0"s + Form({Field("a", "1")}),
       {{"q", "1"}}, {""}, {""}},
      {"field_name_shifting_the_pairs",
       FormType(),
       "",
       Form({Field("a&b", std::string(5000, 'z'))}),
       {{"a", "b"}, {std::string(5000, 'z'), ""}},
       {""},
       {""}},
  };
}

void PrintTo(const MultipartCase& c, std::ostream* os) { *os << c.label; }
void PrintTo(const UrlCase& c, std::ostream* os) { *os << c.label; }

class Multipart
    : public ::testing::TestWithParam<std::tuple<MultipartCase, size_t>> {};

TEST_P(Multipart, FillsEntriesAndUploadInfo) {
  const auto& [c, threshold] = GetParam();
  const Observed o = Parse(c.content_type, c.query, c.body, threshold);
  EXPECT_EQ(o.entries, c.entries);
  EXPECT_EQ(o.file_names, c.file_names);
  EXPECT_EQ(o.content_types, c.content_types);
}

// Large parts stay in the body; what a script sees must not depend on it.
TEST_P(Multipart, KeepingPartsRawChangesNothingVisible) {
  const auto& [c, threshold] = GetParam();
  EXPECT_EQ(Parse(c.content_type, c.query, c.body, threshold),
            Parse(c.content_type, c.query, c.body, std::numeric_limits<size_t>::max()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Multipart,
    ::testing::Combine(::testing::ValuesIn(MultipartCases()),
                       ::testing::Values(size_t{0}, kRawPartThreshold,
                                         std::numeric_limits<size_t>::max())),
    [](const auto& test) {
      const size_t threshold = std::get<1>(test.param);
      return std::string(std::get<0>(test.param).label) +
             (threshold == 0                    ? "_all_raw"
              : threshold == kRawPartThreshold ? "_default"
                                                : "_all_encoded");
    });

TEST(MultipartRaw, LargeUploadIsHeldAsASliceAndEncodedOnlyForTheRequestData) {
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + 7);
  ServerValues values(Utf8());
  RequestBody body =
      CopyBody(Form({Field("t", "a b"), File("f", "x.bin", "application/octet-stream", data)}));
  ParseRequest(Unlimited(FormType(), "q=%41"), &body, &values);
  EXPECT_EQ(values.slice_count(), 1u);
  EXPECT_EQ(values.GetBytes("F", 0), data);
  EXPECT_EQ(values.GetString("f", 0), data.substr(0, data.find('\0')));
  EXPECT_EQ(values.RequestDataText(),
            "\r\nq=%41&t=a+b&f=" + core::EncodeValue(data));
}

TEST(MultipartRaw, PlaceholderLookalikesInTheFormAreHarmless) {
  // A field named and valued like the stand-ins for large parts.
  const std::string big(5000, 'q');
  const Pairs expected = {{"Qph00000000000000000000", "Qph00000000000000000000"}, {"f", big}};
  EXPECT_EQ(Parse(FormType(), "",
                  Form({Field("Qph00000000000000000000", "Qph00000000000000000000"),
                        Field("f", big)}),
                  0)
                .entries,
            expected);
}

TEST(MultipartRaw, NamesWithSeparatorsAndMarkerLookalikesStayOnTheFastPath) {
  // Field names holding '=' or '&', and small values that look like any
  // internal marker, used to force every part to be encoded in memory.
  const std::string big(100000, '\x81');
  struct Case {
    std::vector<FormPart> form;
    bool big_is_a_value;  // else the shifted pairs make it a name
  };
  for (const Case& c : std::vector<Case>{
           {{Field("a=b&c", "1"), File("f", "x", "t/t", big)}, true},
           {{Field("a&b=c", "1"), File("f", "x", "t/t", big)}, true},
           {{Field("Qph0000", "Qph00000000000000000000"), Field("0", "0"),
             File("f", "x", "t/t", big)},
            true},
           {{Field("a=b", "1"), File("f", "x", "t/t", big)}, false},
       }) {
    ServerValues values(Utf8());
    RequestBody body = CopyBody(Form(c.form));
    ParseRequest(Unlimited(FormType(), "q=0"), &body, &values);
    const auto names = values.store().IncomingNames();
    if (c.big_is_a_value) {
      EXPECT_EQ(values.slice_count(), 1u);
      EXPECT_EQ(values.BytesAt(names.size() - 1), big);
    } else {
      EXPECT_EQ(names.back(), big);
    }
    // The same as with every part encoded.
    EXPECT_EQ(Parse(FormType(), "q=0", Form(c.form)),
              Parse(FormType(), "q=0", Form(c.form), std::numeric_limits<size_t>::max()));
  }
}

// --- Boundary search ------------------------------------------------------------------

TEST(FindOnCharacters, EqualsTheCharacterWalkOnATableOfBoundaries) {
  const platform::CodePage& sjis = platform::CodePage::Get(platform::CodePage::kJapanese);
  // Texts and needles where a bytewise hit starts or ends inside a
  // double-byte character (0x81 0x61, 0x83 0x5C, lead bytes at the end),
  // periodic needles, and plain multipart boundaries.
  const std::vector<std::string> texts = {"",
                                          "abc",
                                          "--XyZ\r\n--XyZ--",
                                          "\x81\x61\x61\x81\x61",
                                          "\x83\x5C\x5C\x83\x5C--",
                                          "\x81\x81\x81\x81\x81\x81\x81",
                                          "a\x81",
                                          "\xE3\x81\x82\x81\x82",
                                          "aaaaaaaaaab",
                                          "\x81\x40--b\x81--b--b",
                                          "x\xE5\x90\x8D\x90\x8Dy"};
  const std::vector<std::string> needles = {
      "",    "a",    "\x61\x81", "\x81",     "\x81\x81\x81", "\x5C",      "\x5C--",
      "--b", "aaab", "\x81\x82", "\x90\x8D", "--XyZ",        "\r\n--XyZ", "b"};
  for (const platform::CodePage* cp : {&sjis, &Utf8()}) {
    for (const std::string& text : texts) {
      for (const std::string& needle : needles) {
        for (size_t from = 0; from <= text.size() + 1; ++from) {
          EXPECT_EQ(FindOnCharacters(text, needle, from, *cp), cp->Find(text, needle, from))
              << cp->number() << " '" << text << "' '" << needle << "' " << from;
        }
      }
    }
  }
  // Random texts over a few bytes that make double-byte characters likely.
  unsigned seed = 7;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
  const char alphabet[] = {'a', '\x81', '\x40', '\x61', '-', '\xE3'};
  for (int round = 0; round < 3000; ++round) {
    std::string text, needle;
    for (unsigned k = next() % 24; k > 0; --k) text += alphabet[next() % sizeof alphabet];
    for (unsigned k = next() % 4 + 1; k > 0; --k) needle += alphabet[next() % sizeof alphabet];
    for (const platform::CodePage* cp : {&sjis, &Utf8()}) {
      ASSERT_EQ(FindOnCharacters(text, needle, 0, *cp), cp->Find(text, needle, 0))
          << cp->number() << " '" << text << "' '" << needle << "'";
    }
  }
}

TEST(FindOnCharacters, LongBoundaryOverLongBodyIsLinear) {
  // Every position of the body starts a near-match of the boundary: a
  // whole-needle compare per position is 8 MiB x 8 KiB.
  const std::string body(8 << 20, 'a');
  const std::string boundary = std::string(8192, 'a') + "Z";
  const double started = quillon::testing::ThreadCpuSeconds();
  for (const platform::CodePage* cp :
       {&platform::CodePage::Get(platform::CodePage::kJapanese), &Utf8()}) {
    EXPECT_EQ(FindOnCharacters(body, boundary, 0, *cp), std::string::npos);
    EXPECT_EQ(FindOnCharacters(body + boundary, boundary, 0, *cp), body.size());
  }
  // Linear work is well under a second of processor time even sanitized;
  // the quadratic compare would take minutes.
  EXPECT_LT(quillon::testing::ThreadCpuSeconds() - started, 5.0);
}

TEST(MultipartScan, ReportsPartPositions) {
  const std::string body = Form({Field("a", "xy"), File("f", "n", "t/t", "")});
  const MultipartScan scan = ScanMultipart(FormType(), "k=v&w", body, Utf8());
  EXPECT_EQ(scan.query_pairs, 1u);
  ASSERT_TRUE(scan.has_boundary);
  ASSERT_EQ(scan.parts.size(), 2u);
  EXPECT_EQ(body.substr(scan.parts[0].data_offset, scan.parts[0].data_size), "xy");
  EXPECT_EQ(scan.parts[1].data_size, 0u);
  EXPECT_EQ(scan.parts[1].file_name, "n");
  EXPECT_EQ(scan.parts[1].content_type, "t/t");
}

// --- Cookies and the captured environment -------------------------------------------

TEST(ScanCookiePairs, FollowsThePeersGrammar) {
  const std::vector<std::pair<std::string, Pairs>> cases = {
      {"", {}},
      {"a=1; b=2", {{"a", "1"}, {"b", "2"}}},
      {"a=1;b=2", {{"a", "1;b=2"}}},
      {"a", {}},
      {"a=1; b", {{"a", "1"}}},
      {"a=1; ", {{"a", "1"}}},
      {"=x", {{"", "x"}}},
      {"a==b; c=", {{"a", "=b"}, {"c", ""}}},
      {"__QuillonSV_user=Taro; other=1", {{"__QuillonSV_user", "Taro"}, {"other", "1"}}},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(ScanCookiePairs(text, Utf8()), expected) << "'" << text << "'";
  }
}

TEST(ScanDebugEnvironment, NeedsALineEndAfterEveryValue) {
  const std::vector<std::pair<std::string, Pairs>> cases = {
      {"", {}},
      {"A=1\r\nB=2\r\n", {{"A", "1"}, {"B", "2"}}},
      {"QUERY_STRING=a=1\r\n", {{"QUERY_STRING", "a=1"}}},
      {"A=1", {{"A", ""}}},
      {"A=1\r\nB=xyz", {{"A", "1"}, {"B", ""}}},
      {"A=1&B=2", {{"A", ""}, {"B", ""}}},
      {"=\r\n", {{"", ""}}},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(ScanDebugEnvironment(text), expected) << "'" << text << "'";
  }
}

}  // namespace
}  // namespace quillon::server
