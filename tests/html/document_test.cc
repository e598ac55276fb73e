// The document: page and master-page forms, files, output attachment, the
// tree accessors and text positions.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <unistd.h>

#include "html/internal.h"
#include "quillon/component/errors.h"
#include "quillon/html/document.h"
#include "quillon/platform/files.h"
#include "tests/html/html_test_util.h"
#include "tests/support/message_language.h"

namespace quillon::html {
namespace {

using testing::DumpContent;
using testing::TextOutput;

const platform::CodePage& Utf8() { return platform::CodePage::Get(platform::CodePage::kUtf8); }
const platform::CodePage& Sjis() {
  return platform::CodePage::Get(platform::CodePage::kJapanese);
}

int ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

TEST(DocumentWrite, EmptyPage) {
  Document doc(Utf8());
  EXPECT_EQ(doc.GetPageData(),
            "<HTML>\r\n<HEAD>\r\n</HEAD>\r\n<BODY>\r\n</BODY>\r\n</HTML>");
  EXPECT_EQ(doc.Head()->TagName(), "HEAD");
  EXPECT_EQ(doc.Body()->TagName(), "BODY");
}

TEST(DocumentWrite, LayoutIsNormalised) {
  Document doc(Utf8());
  doc.SetMasterPage(
      "<html>\r\n<body>\r\n<div>\r\n<p>\r\n      some   text\r\n</p> <b>bold</b><i>it</i>\r\n"
      "</div>\r\n</body>\r\n</html>");
  EXPECT_EQ(doc.GetPageData(),
            "<HTML>\r\n<HEAD>\r\n</HEAD>\r\n<BODY>\r\n"
            "\t<DIV>\r\n\t\t<P>\r\n\t\t\tsome text\r\n\t\t</P>\r\n\t\t<B>bold</B><I>it</I>\r\n"
            "\t</DIV>\r\n</BODY>\r\n</HTML>");
  doc.SetIndentCode("  ");
  EXPECT_NE(doc.GetPageData().find("<BODY>\r\n  <DIV>\r\n    <P>\r\n      some"), std::string::npos);
}

TEST(DocumentWrite, MasterFormKeepsIdentifiersAndTemplateComments) {
  Document doc(Utf8());
  doc.SetMasterPage(
      "<p qlid=greet class=x>Hello</p><textblock qlid=name>Ann</textblock>"
      "<textblock note=1>n</textblock>\r\n<!--! template only -->\r\n<dummyblock><b>in</b></dummyblock>");
  Ref<Tag> p = doc.Root()->Children().Item(0);
  p->SetParam("!data", "private");
  EXPECT_EQ(doc.GetMasterPage(),
            "<P QLID=\"greet\" CLASS=\"x\">Hello</P><TEXTBLOCK QLID=\"name\">Ann</TEXTBLOCK>"
            "<TEXTBLOCK NOTE=\"1\">n</TEXTBLOCK>\r\n<!--! template only -->"
            "\r\n<DUMMYBLOCK><B>in</B></DUMMYBLOCK>");
  // Text blocks give only their text, the template comment not even its
  // line break, the dummy block only its children.
  EXPECT_EQ(doc.GetPageData(), "<P CLASS=\"x\">Hello</P>Annn<B>in</B>");

  // The template round-trips through its master form.
  Document again(Utf8());
  again.SetMasterPage(doc.GetMasterPage());
  EXPECT_EQ(again.GetMasterPage(), doc.GetMasterPage());
  p->RemoveParam("!data");
  EXPECT_EQ(DumpContent(again), DumpContent(doc));
}

TEST(DocumentWrite, ConvertedPageGetsQlid) {
  Document doc(Utf8());
  doc.SetConvertMasterPage(true);
  doc.SetMasterPage("<td id=cell>x</td>");
  EXPECT_EQ(doc.GetMasterPage(), "<TD QLID=\"cell\">x</TD>");
  EXPECT_EQ(doc.GetPageData(), "<TD>x</TD>");
}

TEST(DocumentWrite, DummyNamesAreSettings) {
  Document doc(Utf8());
  doc.SetDummyTagName("txt");
  doc.SetDummyBlockTagName("grp");
  EXPECT_EQ(doc.DummyTagName(), "TXT");
  doc.SetMasterPage("<grp>a</grp>");
  EXPECT_EQ(DumpContent(doc), "GRP[\"a\"]");
  EXPECT_EQ(doc.GetPageData(), "a");
}

class RecordingOutput : public Output {
 public:
  void AppendText(std::string_view text) override { lines.back() += text; }
  void LineEnd() override { lines.emplace_back(); }
  std::vector<std::string> lines{""};
};

TEST(DocumentWrite, WriteToKeepsTheOutputAttached) {
  Document doc(Utf8());
  doc.SetMasterPage("<p qlid=x>a</p>\r\n<p>b</p>");
  EXPECT_EQ(ErrorOf([&] { doc.WriteTo(nullptr); }), kMsgBadOutputObject);
  RecordingOutput out;
  doc.WriteTo(&out);
  EXPECT_EQ(out.lines, (std::vector<std::string>{"<P>a</P>", "<P>b</P>"}));
  doc.FindByID("x")->Write();
  EXPECT_EQ(out.lines.back(), "<P>b</P><P>a</P>");
  EXPECT_EQ(doc.output(), &out);
  doc.GetPageData();  // detaches
  EXPECT_EQ(doc.output(), nullptr);
  doc.FindByID("x")->Write();
  EXPECT_EQ(out.lines.back(), "<P>b</P><P>a</P>");
}

// An output that keeps its text in one string (a response) has the page
// written into that string: after what it held, without a line end that
// would begin the page when the output says so, and told once whether
// anything went in (a line end left out counts). A tag written later goes
// after the page.
TEST(DocumentWrite, IntoAnOutputsOwnText) {
  std::string many_lines;
  for (int i = 0; i < 2000; ++i) many_lines += "<p qlid=p" + std::to_string(i) + ">line</p>\r\n";
  for (const std::string& master :
       {std::string("<p qlid=p0>a</p>"), std::string("\r\n<div qlid=p0>a</div>"),
        std::string("\r\n"), std::string(), many_lines}) {
    for (const std::string& before : {std::string(), std::string("x\r\n")}) {
      for (const bool skip : {false, true}) {
        Document doc(Utf8());
        doc.SetMasterPage(master);
        const std::string page = doc.GetPageData();
        const std::string what = master.substr(0, 20) + "|" + before + "|" + (skip ? "skip" : "");
        TextOutput out(before, skip);
        doc.WriteTo(&out);
        const std::string want =
            before + (skip && page.starts_with("\r\n") ? page.substr(2) : page);
        EXPECT_EQ(out.text, want) << what;
        EXPECT_EQ(out.ends, std::vector<bool>{!page.empty()}) << what;
        if (Ref<Tag> p = doc.FindByID("p0")) {
          p->Write();
          ASSERT_TRUE(out.text.starts_with(want)) << what;
          std::string added = out.text.substr(want.size());
          for (size_t at; (at = added.find("\r\n")) != std::string::npos;) added.erase(at, 2);
          EXPECT_EQ(added, "<" + p->TagName() + ">" + p->Text() + "</" + p->TagName() + ">")
              << what;
          EXPECT_EQ(out.ends.size(), 2u) << what;
        }
        doc.DetachOutput();
      }
    }
  }
}

// An output that fails while the page is written is not kept: the
// caller's output may be gone once the error reached it.
TEST(DocumentWrite, FailedWriteToLeavesNoOutputAttached) {
  class FailingOutput : public Output {
   public:
    explicit FailingOutput(int lines) : lines_(lines) {}
    void AppendText(std::string_view text) override { text_ += text; }
    void LineEnd() override {
      if (--lines_ < 0) throw std::bad_alloc();
      text_ += "\r\n";
    }
    std::string text_;

   private:
    int lines_;
  };
  Document doc(Utf8());
  doc.SetMasterPage("<p qlid=x>a</p>\r\n<p>b</p>\r\n<p>c</p>");
  RecordingOutput good;
  doc.WriteTo(&good);
  for (int lines = 0; lines < 2; ++lines) {
    {
      FailingOutput failing(lines);
      EXPECT_THROW(doc.WriteTo(&failing), std::bad_alloc);
      EXPECT_EQ(doc.output(), nullptr);
    }
    // Writing a tag now goes to the document's own buffer, not to the
    // output that is gone.
    doc.FindByID("x")->Write();
    EXPECT_EQ(doc.output(), nullptr);
  }
  EXPECT_EQ(doc.GetPageData(), "<P>a</P>\r\n<P>b</P>\r\n<P>c</P>");
}

// A double quote inside a value would end it early and let the rest pass
// for markup: it is written as &quot;. Other bytes, and values that are
// already escaped, are written as they are.
TEST(DocumentWrite, QuotesInParameterValuesAreWrittenAsReferences) {
  struct Case {
    std::string value;
    std::string written;
  };
  const Case cases[] = {
      {"\"><script>alert(1)</script>", "&quot;><script>alert(1)</script>"},
      {"a\"b\"", "a&quot;b&quot;"},
      {"\"", "&quot;"},
      {"&quot; &amp; <b> 'single'", "&quot; &amp; <b> 'single'"},
      {"日本 \"語\"", "日本 &quot;語&quot;"},
  };
  for (const Case& c : cases) {
    Document doc(Utf8());
    doc.SetMasterPage("<input type=text qlid=in value=\"x\"><p title=t>p</p>");
    Ref<Tag> input = doc.Get("in");
    input->SetValue(c.value);
    EXPECT_EQ(input->Value(), c.value);  // stored as given
    doc.FindByTagName("p")->SetParameter("title", c.value);
    const std::string want = "<INPUT TYPE=\"text\" VALUE=\"" + c.written + "\"><P TITLE=\"" +
                             c.written + "\">p</P>";
    EXPECT_EQ(doc.GetPageData(), want) << c.value;
    RecordingOutput out;
    doc.WriteTo(&out);
    doc.DetachOutput();
    EXPECT_EQ(out.lines, std::vector<std::string>{want});
    EXPECT_NE(doc.GetMasterPage().find("VALUE=\"" + c.written + "\""), std::string::npos);
  }
  // A template value read without quotes may hold one too.
  Document doc(Utf8());
  doc.SetMasterPage("<p title=a\"b class=\"c\">x</p>");
  EXPECT_EQ(doc.GetPageData(), "<P TITLE=\"a&quot;b\" CLASS=\"c\">x</P>");
}

// Pieces of any size come out in order, the same whether written to a
// buffer or to an output (which gets a LineEnd wherever a line ends): a
// page with long texts is the page with short stand-ins, the texts put in.
TEST(DocumentWrite, LongPiecesKeepTheirPlace) {
  const std::string long_text(20000, 'x');  // more than the writer holds at once
  std::string many_lines;
  for (int i = 0; i < 3000; ++i) many_lines += "<p>line " + std::to_string(i) + "</p>\r\n";
  auto replaced = [&](std::string text) {
    for (size_t at; (at = text.find("@@")) != std::string::npos;) text.replace(at, 2, long_text);
    return text;
  };
  for (const std::string& master :
       {std::string(), std::string("<p>@@</p>"), std::string("<pre>a@@</pre><p>b</p>"),
        std::string("<table><tr><td>@@</td><td>y</td></tr></table>"),
        std::string("<p title=\"@@\">a<b>@@</b>@@</p>"), many_lines + "<p class=@@>@@</p>"}) {
    Document stand_in(Utf8());
    stand_in.SetMasterPage(master);
    const std::string want = replaced(stand_in.GetPageData());
    Document doc(Utf8());
    doc.SetMasterPage(replaced(master));
    EXPECT_EQ(doc.GetPageData(), want) << master.substr(0, 40);
    RecordingOutput out;
    doc.WriteTo(&out);
    doc.DetachOutput();
    std::string joined;
    for (size_t i = 0; i < out.lines.size(); ++i) joined += (i ? "\r\n" : "") + out.lines[i];
    EXPECT_EQ(joined, want) << master.substr(0, 40);
  }
}

// Rows copied from a template share their parameter lists, which the page
// form writes once and then copies: every copy must still come out as the
// row it copies. Rows of many templates are interleaved (more lists than
// the writer remembers, so they displace each other); lists too long to
// remember, longer than the writer holds at once, with a quote, a bare
// value and a private parameter; copies edited after copying. The page
// parsed from the master form (no list shared) is the reference, written
// to a string, to an output a line at a time and into an output's text.
TEST(DocumentWrite, CopiedRowsComeOutAsTheRowsTheyCopy) {
  const std::vector<std::string> cells = {
      "<td align=right>1</td>",
      "<td nowrap class=c>2</td>",
      "<td title=\"" + std::string(2000, 't') + "\">3</td>",
      "<td title=\"" + std::string(9000, 'u') + "\" class=d>4</td>",
      "<td !private=x width=10>5</td>",
  };
  std::string master = "<table qlid=list>";
  for (int t = 0; t < 24; ++t) {
    master += "<tr qlid=r" + std::to_string(t) + " class=row" + std::to_string(t) + ">" +
              cells[static_cast<size_t>(t) % cells.size()] + "<td>x</td></tr>";
  }
  master += "</table>";
  Document doc(Utf8());
  doc.SetMasterPage(master);
  doc.FindByID("r0")->SetParam("TITLE", "say \"hi\"");
  Ref<Tag> table = doc.FindByID("list");
  for (int round = 0; round < 3; ++round) {
    for (int t = 0; t < 24; ++t) doc.FindByID("r" + std::to_string(t))->AddCopy(table.get(), 2);
  }
  // Edited copies get lists of their own; the others keep sharing theirs.
  for (int32_t i = 30; i < table->ChildCount(); i += 17) {
    table->Children().Item(i)->SetParam("CLASS", "edited" + std::to_string(i));
  }
  Document reference(Utf8());
  reference.SetMasterPage(doc.GetMasterPage());
  const std::string want = reference.GetPageData();
  ASSERT_NE(want.find("edited47"), std::string::npos);
  ASSERT_NE(want.find("TITLE=\"say &quot;hi&quot;\""), std::string::npos);
  EXPECT_EQ(want.find("PRIVATE"), std::string::npos);

  EXPECT_EQ(doc.GetPageData(), want);
  RecordingOutput lines;
  doc.WriteTo(&lines);
  doc.DetachOutput();
  std::string joined;
  for (size_t i = 0; i < lines.lines.size(); ++i) joined += (i ? "\r\n" : "") + lines.lines[i];
  EXPECT_EQ(joined, want);
  TextOutput text("", false);
  doc.WriteTo(&text);
  doc.DetachOutput();
  EXPECT_EQ(text.text, want);
}

// Names and parameters of every length around the writer's 16-byte pieces:
// a parameter whose value is its name written bare, one whose value only
// starts like it in full; and a long run of short pieces, so that the
// string's and the output's buffers end at every offset of a piece.
TEST(DocumentWrite, PiecesOfEveryLengthComeOutWhole) {
  auto both_forms = [](Document& doc, const std::string& want, const std::string& what) {
    EXPECT_EQ(doc.GetPageData(), want) << what;
    RecordingOutput out;
    doc.WriteTo(&out);
    doc.DetachOutput();
    std::string joined;
    for (size_t i = 0; i < out.lines.size(); ++i) joined += (i ? "\r\n" : "") + out.lines[i];
    EXPECT_EQ(joined, want) << what;
  };
  for (size_t n = 1; n <= 20; ++n) {
    const std::string tag(n, 'q');
    const std::string param(n, 'w');
    const std::string bare(n, 'W');
    // Same length as the name; from two letters on also its first letter.
    const std::string lookalike = n == 1 ? "w" : std::string(n - 1, 'W') + "x";
    Document doc(Utf8());
    doc.SetMasterPage("<p><" + tag + " " + param + "=" + bare + ">t</" + tag + "><" + tag + " " +
                      param + "=" + lookalike + ">u</" + tag + "></p>");
    const std::string up(n, 'Q');
    both_forms(doc,
               "<P><" + up + " " + bare + ">t</" + up + "><" + up + " " + bare + "=\"" + lookalike +
                   "\">u</" + up + "></P>",
               tag);
  }
  std::string master = "<p>";
  std::string want = "<P>";
  for (int i = 0; i < 3000; ++i) {
    const std::string text(static_cast<size_t>(i % 23), 'x');
    master += "<b>" + text + "</b><i class=c" + std::to_string(i % 7) + ">" + text + "</i>";
    want += "<B>" + text + "</B><I CLASS=\"c" + std::to_string(i % 7) + "\">" + text + "</I>";
  }
  Document doc(Utf8());
  doc.SetMasterPage(master + "</p>");
  both_forms(doc, want + "</P>", "long run");
}

TEST(DocumentFiles, LoadSaveAndErrors) {
  std::string dir = platform::TempDirectory();
  std::string in = dir + "quillon_html_in_" + std::to_string(getpid()) + ".htm";
  std::string out = dir + "quillon_html_out_" + std::to_string(getpid()) + ".htm";
  ASSERT_TRUE(platform::WriteWholeFile(in, "<html><body qlid=b>x</body></html>"));
  Document doc(Utf8());
  doc.Load(in);
  EXPECT_EQ(doc.Head()->TagName(), "HEAD");  // inserted
  EXPECT_EQ(doc.Body()->ID(), "b");
  doc.SaveMasterPage(out);
  std::string bytes;
  ASSERT_TRUE(platform::ReadWholeFile(out, &bytes));
  // HEAD takes the root's end-tag layout, which the template set to "same
  // line".
  EXPECT_EQ(bytes, "<HTML><HEAD></HEAD><BODY QLID=\"b\">x</BODY></HTML>");
  doc.Save(out);
  ASSERT_TRUE(platform::ReadWholeFile(out, &bytes));
  EXPECT_EQ(bytes, "<HTML><HEAD></HEAD><BODY>x</BODY></HTML>");

  std::string before = doc.GetMasterPage();
  EXPECT_EQ(ErrorOf([&] { doc.Load(dir + "no/such/file.htm"); }), kMsgFileRead);
  EXPECT_EQ(doc.GetMasterPage(), before);
  EXPECT_EQ(ErrorOf([&] { doc.Save(dir + "no/such/file.htm"); }), kMsgFileWrite);
  EXPECT_EQ(ErrorOf([&] { doc.SaveMasterPage(dir + "no/such/file.htm"); }), kMsgFileWrite);
  platform::RemoveFile(in);
  platform::RemoveFile(out);
}

// Under QUILLON_MESSAGES=en the document's failures name the file, index
// or identifier they were given; numbers and Japanese texts stay.
TEST(DocumentErrors, EnglishDescriptionsNameWhatTheCallWasGiven) {
  const std::string missing = platform::TempDirectory() + "no/such/file.htm";
  const std::u16string missing16 = Utf8().ToUtf16(missing);
  Document doc(Utf8());
  doc.SetMasterPage("<ul><li id=one>1</li></ul>");
  Ref<Tag> ul = doc.FindByTagName("UL");
  ASSERT_TRUE(ul);
  quillon::testing::ExpectFailuresInBothLanguages({
      {"Load", [&] { doc.Load(missing); }, kMsgFileRead,
       u"The file does not exist or cannot be read. File: " + missing16, u""},
      {"Save", [&] { doc.Save(missing); }, kMsgFileWrite,
       u"The file cannot be written. File: " + missing16, u""},
      {"SaveMasterPage", [&] { doc.SaveMasterPage(missing); }, kMsgFileWrite,
       u"The file cannot be written. File: " + missing16, u""},
      {"Item(2)", [&] { doc.Item(2); }, kMsgBadIndex, u"The index is not valid. Index: 2", u""},
      {"Item(title)", [&] { doc.Item("title"); }, kMsgBadIndex,
       u"The index is not valid. Identifier: title", u""},
      {"Get", [&] { (void)doc.Get("none"); }, kMsgBadIndex,
       u"The index is not valid. Identifier: none", u"none"},
      {"InsertBefore(key)", [&] { ul->InsertBefore("none", "", "li"); }, kMsgBadIndex,
       u"The index is not valid. Identifier: none", u""},
      {"InsertAfter(-1)", [&] { ul->InsertAfter(-1, "", "li"); }, kMsgBadIndex,
       u"The index is not valid. Index: -1", u""},
      {"Remove(key)", [&] { ul->Remove("none", 1); }, kMsgBadIndex,
       u"The index is not valid. Identifier: none", u""},
  });
}

TEST(DocumentTree, ItemTitleAndText) {
  Document doc(Utf8());
  EXPECT_EQ(doc.Item(0), doc.Head());
  EXPECT_EQ(doc.Item("Body"), doc.Body());
  EXPECT_EQ(ErrorOf([&] { doc.Item(2); }), kMsgBadIndex);
  EXPECT_EQ(ErrorOf([&] { doc.Item("title"); }), kMsgBadIndex);
  EXPECT_EQ(doc.Title(), "");
  doc.SetTitle("Welcome");
  EXPECT_EQ(doc.Title(), "Welcome");
  doc.SetText("body text");
  EXPECT_EQ(doc.Text(), "body text");
  EXPECT_EQ(DumpContent(doc), "HEAD[TITLE[\"Welcome\"]] BODY[\"body text\"]");

  doc.SetMasterPage("<p>no head</p>");
  doc.SetTitle("ignored");
  EXPECT_EQ(doc.Title(), "");
  EXPECT_EQ(doc.Text(), "");
  EXPECT_EQ(doc.Head()->TagName(), "P");
  EXPECT_EQ(doc.Body(), nullptr);
}

// The documented way to find a tag by position: write the page once per
// child looked at. The engine's single write must agree with it.
Ref<Tag> TextPosToTagByRewriting(Document& doc, bool master, int32_t pos) {
  std::string text = master ? doc.GetMasterPage() : doc.GetPageData();
  int32_t length = static_cast<int32_t>(doc.code_page().ToUtf16(text).size());
  pos = std::clamp(pos, 0, length);
  Ref<Tag> current = doc.Root();
  for (;;) {
    Ref<Tag> inside = nullptr;
    for (int32_t i = 0; i < current->ChildCount() && !inside; ++i) {
      Ref<Tag> child = current->Children().Item(i);
      int32_t b, e;
      doc.TagToTextPos(master, child.get(), &b, &e);
      if (b <= pos && pos < e) inside = child;
    }
    if (!inside) return Ref<Tag>(current);
    current = inside;
  }
}

TEST(DocumentPositions, TagToTextPosCutsTheTag) {
  Document doc(Utf8());
  doc.SetMasterPage("<html><body qlid=b>\r\n<p>héllo 😀 wörld</p>\r\n</body></html>");
  Ref<Tag> body = doc.Body();
  int32_t b, e;
  doc.TagToTextPos(false, body.get(), &b, &e);
  std::u16string page = Utf8().ToUtf16(doc.GetPageData());
  std::u16string cut = page.substr(b, e - b);
  EXPECT_EQ(cut.substr(0, 5), u"<BODY");
  EXPECT_EQ(cut.substr(cut.size() - 7), u"</BODY>");
  Ref<Tag> text = doc.FindByTagName("p")->Children().Item(0);
  doc.TagToTextPos(true, text.get(), &b, &e);
  std::u16string master = Utf8().ToUtf16(doc.GetMasterPage());
  EXPECT_EQ(master.substr(b, e - b), u"héllo 😀 wörld");

  Ref<Tag> loose = Tag::Create();
  doc.TagToTextPos(false, loose.get(), &b, &e);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(e, 0);
  EXPECT_EQ(doc.TextPosToTag(false, 0), doc.Root());
  EXPECT_EQ(doc.TextPosToTag(false, -5), doc.Root());
  EXPECT_EQ(doc.TextPosToTag(false, 1 << 30), doc.Root());
}

TEST(DocumentPositions, TextPosToTagAgreesWithRewritingPerChild) {
  for (const platform::CodePage* cp : {&Utf8(), &Sjis()}) {
    Document doc(*cp);
    std::string multibyte = cp == &Utf8() ? "日本😀" : "\x93\xfa\x96\x7b";
    doc.SetMasterPage(
        "<html><head><title>t " + multibyte + "</title></head><body>\r\n<table qlid=t>\r\n"
        "<tr><td qlid=a>" + multibyte + " x</td><td><b>y</b> " + multibyte +
        "</td></tr></table><!--! c -->\r\n<dummyblock><p>z</p></dummyblock>\r\n</body></html>");
    for (bool master : {false, true}) {
      std::string text = master ? doc.GetMasterPage() : doc.GetPageData();
      int32_t length = static_cast<int32_t>(cp->ToUtf16(text).size());
      for (int32_t pos = -1; pos <= length + 1; ++pos) {
        ASSERT_EQ(doc.TextPosToTag(master, pos), TextPosToTagByRewriting(doc, master, pos))
            << "code page " << cp->number() << " master " << master << " pos " << pos;
      }
    }
  }
}

TEST(DocumentPositions, Utf16CountsMatchConversion) {
  std::mt19937 rng(7);
  for (const platform::CodePage* cp : {&Utf8(), &Sjis()}) {
    for (int round = 0; round < 2000; ++round) {
      std::string bytes(rng() % 12, '\0');
      for (char& c : bytes) c = static_cast<char>(rng() % 4 == 0 ? rng() % 128 : 0x80 + rng() % 128);
      size_t units = cp->ToUtf16(bytes).size();
      ASSERT_EQ(Utf16Length(*cp, bytes), units) << cp->number() << " round " << round;
      ASSERT_EQ(BytesForUtf16(*cp, bytes, units), bytes.size());
      for (size_t u = 0; u <= units; ++u) {
        size_t b = BytesForUtf16(*cp, bytes, u);
        size_t got = Utf16Length(*cp, std::string_view(bytes).substr(0, b));
        ASSERT_LE(got, u);
        ASSERT_GE(got + 1, u);  // at most half a surrogate pair short
      }
    }
  }
}

}  // namespace
}  // namespace quillon::html
