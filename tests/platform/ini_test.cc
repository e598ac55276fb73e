// Initialisation files as the platform's profile functions read them.
#include "quillon/platform/ini.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon::platform {
namespace {

using namespace std::string_literals;

TEST(IniSection, ReadsLinesAsTheProfileFunctionsDo) {
  const std::string long_path = "/srv/" + std::string(300, 'x') + "/app.cgi";
  const struct {
    const char* name;
    std::string text;
    IniEntries expected;  // of section "Debug"
  } cases[] = {
      {"indented key is a key, not a continuation",
       "[Debug]\nA=1\n  Project1=Echo\n",
       {{"A", "1"}, {"Project1", "Echo"}}},
      {"blanks around names and values",
       "  [ Debug ]  \r\n\t Key \t=  some value \r\n",
       {{"Key", "some value"}}},
      {"a line of any length", "[Debug]\nApp=" + long_path + "\n", {{"App", long_path}}},
      {"';' is text inside a value",
       "[Debug]\nApp=/srv/a ;b/x.cgi ; not a comment\n",
       {{"App", "/srv/a ;b/x.cgi ; not a comment"}}},
      {"';' at a line's start is a comment", "[Debug]\n;App=/x\n   ; B=2\nC=3\n", {{"C", "3"}}},
      {"only '=' separates",
       "[Debug]\nC: /srv/colon\nD=a=b:c\n",
       {{"C: /srv/colon", ""}, {"D", "a=b:c"}}},
      {"section names in any case", "[dEBUG]\nk=v\n", {{"k", "v"}}},
      {"one pair of quotes dropped",
       "[Debug]\na=\"x\"\nb='y'\nc=\"\"z\"\"\nd=\"\nE='q\"\n",
       {{"a", "x"}, {"b", "y"}, {"c", "\"z\""}, {"d", "\""}, {"E", "'q\""}}},
      {"other sections and keys before any section ignored",
       "top=1\n[Other]\nx=1\n[Debug]\ny=2\n[More]\nz=3\n",
       {{"y", "2"}}},
      {"a later section of the same name is not read",
       "[Debug]\na=1\n[X]\n[DEBUG]\nb=2\n",
       {{"a", "1"}}},
      {"a '[' line without ']' is ignored",
       "[Debug]\na=1\n[broken\nb=2\n",
       {{"a", "1"}, {"b", "2"}}},
      {"UTF-8 byte order mark and CR LF lines", "\xEF\xBB\xBF[Debug]\r\nk=v\r\n", {{"k", "v"}}},
      {"bytes of the code page kept",
       "[Debug]\n\x83\x65\x83\x58\x83\x67=\x95\\\n",
       {{"\x83\x65\x83\x58\x83\x67", "\x95\\"}}},
      {"NUL bytes are text", "[Debug]\nk=a\0b\n"s, {{"k", "a\0b"s}}},
      {"no final line end", "[Debug]\nk=v", {{"k", "v"}}},
      {"empty file", "", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseIniSection(c.text, "Debug"), c.expected) << c.name;
  }
}

TEST(IniSection, AMissingFileReadsAsEmpty) {
  EXPECT_TRUE(ReadIniSection("/nonexistent/quillon/Quillon.ini", "Debug").empty());
}

}  // namespace
}  // namespace quillon::platform
