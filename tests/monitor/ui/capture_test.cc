#include "monitor/ui/capture.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace quillon::monitor {
namespace {

using namespace std::string_literals;

TEST(RequestText, SplitsAtTheFirstLineEndAndSkipsTheWholeRun) {
  struct Case {
    std::string text, environment, parameters;
  } cases[] = {
      {"", "", ""},
      {"E=1", "E=1", ""},  // no line end: all environment
      {"\r\na=1&b=x+y", "", "a=1&b=x+y"},
      {"E=1\na=1", "E=1", "a=1"},                    // lone LF
      {"E=1\ra=1", "E=1", "a=1"},                    // lone CR
      {"E=1\r\n\r\n\n\ra=1&b=2", "E=1", "a=1&b=2"},  // CR LF and blank lines
      {"E\r\nx=1\r\ny=2", "E", "x=1\r\ny=2"},        // later line ends belong to the text
      {"E\r\n", "E", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const RequestCapture capture = SplitRequestText(c.text);
    EXPECT_EQ(capture.EnvironmentLine, c.environment);
    EXPECT_EQ(capture.ParameterText, c.parameters);
    EXPECT_EQ(capture.FileTitle, "");
  }
}

TEST(RequestText, FileIsLineCrLfTextWithoutFinalLineEnd) {
  ParameterList list;
  list.Add("a", "1");
  list.Add("b", "x y");
  RequestCapture capture;
  capture.ParameterText = list.Text();
  EXPECT_EQ(RequestFileBytes(capture), "\r\na=1&b=x+y");

  capture.EnvironmentLine = "HTTP_HOST=h";
  capture.FileTitle = "ignored.REQ";
  EXPECT_EQ(RequestFileBytes(capture), "HTTP_HOST=h\r\na=1&b=x+y");
  const RequestCapture back = SplitRequestText(RequestFileBytes(capture));
  EXPECT_EQ(back.EnvironmentLine, capture.EnvironmentLine);
  EXPECT_EQ(back.ParameterText, capture.ParameterText);
}

TEST(RequestText, LoadReplacesAndAppendJoinsWithAnAmpersand) {
  RequestCapture capture{"OLD=1", "a=1", "t.REQ"};
  LoadRequestText("NEW=2\nx=1", &capture);
  EXPECT_EQ(capture.EnvironmentLine, "NEW=2");
  EXPECT_EQ(capture.ParameterText, "x=1");
  EXPECT_EQ(capture.FileTitle, "t.REQ");  // the editor sets it, not the text

  AppendRequestText("E3\r\ny=2", &capture);
  EXPECT_EQ(capture.EnvironmentLine, "E3");
  EXPECT_EQ(capture.ParameterText, "x=1&y=2");

  // Onto an empty text the "&" still comes first; the splitter skips it.
  RequestCapture empty;
  AppendRequestText("\r\nx=1&y=2", &empty);
  EXPECT_EQ(empty.ParameterText, "&x=1&y=2");
  EXPECT_EQ(ParameterList(empty.ParameterText).names(), ParameterList("x=1&y=2").names());
  EXPECT_EQ(ParameterList(empty.ParameterText).encoded_values(),
            ParameterList("x=1&y=2").encoded_values());
}

TEST(ResponseFile, StringStopsAtZeroBytesArraysAreWhole) {
  struct Case {
    ResponseBody body;
    std::string bytes;
  } cases[] = {
      {ResponseBody::String("abc\0def"s), "abc"},
      {ResponseBody::String("a=1"), "a=1"},
      {ResponseBody::Bytes("a\0b\xff"s), "a\0b\xff"s},
      {ResponseBody::Bytes(""), ""},
      {ResponseBody::Empty(), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ResponseFileBytes(c.body), c.bytes);
}

TEST(ResponseBodyText, MarkerIsRemovedOnlyAtTheVeryStart) {
  EXPECT_EQ(ParameterTextOfBody(ResponseBody::String("QServerParams:QServerResult=1")),
            "QServerResult=1");
  EXPECT_EQ(ParameterTextOfBody(ResponseBody::String("x QServerParams:a=1")),
            "x QServerParams:a=1");
  EXPECT_EQ(ParameterTextOfBody(ResponseBody::String("QServerParams:QServerParams:a")),
            "QServerParams:a");
  EXPECT_EQ(ParameterTextOfBody(ResponseBody::Bytes("QServerParams:a=1")), "");
  EXPECT_EQ(ParameterTextOfBody(ResponseBody::Empty()), "");
}

TEST(ResponseBodyText, ParameterEditStoresTheTextWithoutTheMarker) {
  struct Case {
    const char* name;
    ResponseBody body;
    std::optional<std::string> edited;
    ResponseBody expected;
  } cases[] = {
      {"confirmed", ResponseBody::String("QServerParams:a=1"), "a=2", ResponseBody::String("a=2")},
      {"cancelled string: the opened text, marker dropped",
       ResponseBody::String("QServerParams:QServerResult=1"), std::nullopt,
       ResponseBody::String("QServerResult=1")},
      {"cancelled string without marker", ResponseBody::String("a=1"), std::nullopt,
       ResponseBody::String("a=1")},
      {"cancelled bytes are kept", ResponseBody::Bytes("\x01\x02"), std::nullopt,
       ResponseBody::Bytes("\x01\x02")},
      {"cancelled empty body stays empty", ResponseBody::Empty(), std::nullopt,
       ResponseBody::Empty()},
      {"confirmed bytes become a string", ResponseBody::Bytes("a=1"), "", ResponseBody::String("")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BodyAfterParameterEdit(c.body, c.edited), c.expected) << c.name;
  }
}

TEST(ResponseBodyText, AppendCutsBeforeTheOldResultAndOneAmpersand) {
  struct Case {
    ResponseBody body;
    std::string file, expected;
  } cases[] = {
      {ResponseBody::String("a=1&QServerResult=old"), "x=2", "a=1&x=2"},
      {ResponseBody::String("a=1"), "x=2", "a=1&x=2"},
      {ResponseBody::String(""), "x=2", "&x=2"},
      {ResponseBody::String("QServerResult=old"), "x=2", "&x=2"},
      {ResponseBody::String("a=1&&QServerResult=old"), "x", "a=1&&x"},  // one "&" only
      {ResponseBody::String("a=1&QServerResult=1&b=2&QServerResult=2"), "x", "a=1&x"},
      {ResponseBody::Bytes("a=1"), "x=2", "&x=2"},
      {ResponseBody::Empty(), "x=2", "&x=2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.data);
    EXPECT_EQ(AppendResponseText(c.body, c.file), c.expected);
  }
}

TEST(ResponseResultRule, OnlyExactSessionKindWithStringBody) {
  struct Case {
    std::string kind;
    ResponseBody body;
    std::string expected;
  } cases[] = {
      {".RES", ResponseBody::String("a=1"), "a=1"}, {".res", ResponseBody::String("a=1"), ""},
      {"RES", ResponseBody::String("a=1"), ""},     {".HTML", ResponseBody::String("<p>"), ""},
      {".RES", ResponseBody::Bytes("a=1"), ""},     {".RES", ResponseBody::Empty(), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    EXPECT_EQ(ResponseResult(ResponseCapture{"H", c.body, c.kind, ""}), c.expected);
  }
}

TEST(MonitorDecoding, DecodesTheWholeTextWithThePeersArithmetic) {
  struct Case {
    std::string text, decoded;
  } cases[] = {
      {"a+b", "a b"},
      {"%41%4a%4A", "AJJ"},
      {"%00A", "\0A"s},
      {"%", "%"},
      {"%4", "%4"},
      {"x%2", "x%2"},
      {"%zz", "S"},  // not rejected: 16*35+35 = 595, low byte 0x53
      {"1+%25", "1 %"},
      // A raw multibyte character does not stop decoding, unlike
      // DecodeValue: the "+" and the escape after it are decoded.
      {"\x82\xa0+%41", "\x82\xa0 A"},
      {"\xe3\x81\x82%2B", "\xe3\x81\x82+"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DecodeMonitorValue(c.text), c.decoded);
  }
}

TEST(ParameterListOps, SplitEncodeAndJoin) {
  ParameterList list("?a=1&b=x+y&&c=&Mixed=%41");
  EXPECT_EQ(list.names(), (std::vector<std::string>{"a", "b", "c", "Mixed"}));
  EXPECT_EQ(list.DecodedValue(1), "x y");
  EXPECT_EQ(list.DecodedValue(3), "A");
  EXPECT_EQ(list.Text(), "a=1&b=x+y&c=&Mixed=%41");

  EXPECT_EQ(list.Add("", "ignored"), -1);
  EXPECT_EQ(list.size(), 4u);
  EXPECT_EQ(list.Add("v", "a b%c"), 4);
  EXPECT_EQ(list.encoded_values()[4], "a+b%25c");
  EXPECT_EQ(list.DecodedValue(4), "a b%c");

  EXPECT_FALSE(list.Edit(-1, "n", "v"));
  EXPECT_FALSE(list.Edit(5, "n", "v"));
  EXPECT_TRUE(list.Edit(0, "A", "1&2"));
  EXPECT_EQ(list.Text(), "A=1%262&b=x+y&c=&Mixed=%41&v=a+b%25c");

  EXPECT_EQ(ParameterList("").Text(), "");
  EXPECT_EQ(ParameterList("&&&").size(), 0u);
}

TEST(ParameterListOps, SelectionFollowsRemoveAndMove) {
  ParameterList list("a=1&b=2&c=3&d=4");
  // Moves keep the entry selected and swap both arrays.
  EXPECT_EQ(list.MoveUp(0), 0);
  EXPECT_EQ(list.MoveDown(3), 3);
  EXPECT_EQ(list.Text(), "a=1&b=2&c=3&d=4");
  EXPECT_EQ(list.MoveUp(2), 1);
  EXPECT_EQ(list.Text(), "a=1&c=3&b=2&d=4");
  EXPECT_EQ(list.MoveDown(0), 1);
  EXPECT_EQ(list.Text(), "c=3&a=1&b=2&d=4");
  EXPECT_EQ(list.MoveUp(-1), -1);
  EXPECT_EQ(list.MoveDown(4), -1);

  // Removing keeps the position, or steps back from the end.
  EXPECT_EQ(list.Remove(1), 1);
  EXPECT_EQ(list.Text(), "c=3&b=2&d=4");
  EXPECT_EQ(list.Remove(2), 1);
  EXPECT_EQ(list.Text(), "c=3&b=2");
  EXPECT_EQ(list.Remove(7), -1);
  EXPECT_EQ(list.Remove(0), 0);
  EXPECT_EQ(list.Remove(0), -1);
  EXPECT_EQ(list.Text(), "");
}

TEST(FileNames, TitleIsTheNameWithoutDirectory) {
  EXPECT_EQ(FileTitleOf("/tmp/x/a.REQ"), "a.REQ");
  EXPECT_EQ(FileTitleOf("a.REQ"), "a.REQ");
  EXPECT_EQ(FileTitleOf("/"), "");
  EXPECT_EQ(TextOfFile("ab\0c"s), "ab");
}

}  // namespace
}  // namespace quillon::monitor
