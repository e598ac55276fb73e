// The recordset text over an in-memory recordset: exact bytes written, and
// what a text appends when read back.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quillon/component/bstr.h"
#include "quillon/component/byte_text.h"
#include "quillon/component/errors.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"
#include "quillon/platform/codepage.h"
#include "quillon/recordset/recordset.h"
#include "tests/support/vm_flags.h"

namespace quillon::recordset {
namespace {

using com::Variant;

// Rows of variants; a field's type code decides binary capability
// (11: binary-capable, anything else: text). Update can be told to fail at
// the Nth call, the way an engine refuses a row.
class MemoryAdapter final : public RecordsetAdapter {
 public:
  explicit MemoryAdapter(std::vector<int16_t> types, bool open = true) : open_(open) {
    for (int16_t type : types) {
      FieldInfo info;
      info.type = type;
      fields_.push_back(info);
    }
  }

  std::vector<std::vector<Variant>> rows;
  int fail_update_at = -1;  // 0-based call number
  int updates = 0;

  void OpenByName(std::string_view, std::string_view, bool, int) override {}
  void OpenOnDatabase(com::IDispatch*, std::string_view, bool, int) override {}
  void Close() override { open_ = false; }
  bool IsOpen() const override { return open_; }
  bool IsEof() override { return position_ >= rows.size(); }
  void MoveFirst() override {
    if (rows.empty()) throw RecordsetException(3021);  // no current record
    position_ = 0;
  }
  void MoveNext() override { ++position_; }
  void AddNew() override { pending_.assign(fields_.size(), Variant()); }
  void Update() override {
    if (updates++ == fail_update_at) throw RecordsetException(3022, u"", u"duplicate", u"", 0);
    rows.push_back(pending_);
  }
  std::string MakeSelect(std::string_view name) const override { return std::string(name); }
  bool IsBinaryCapable(int16_t type) const override { return type == 11; }

 protected:
  void ReadValue(int index, com::VARIANT* value) override {
    com::VariantCopy(value, rows[position_][index].get());
  }
  void WriteValue(int index, const com::VARIANT& value) override {
    pending_[index] = Variant(value);
  }

 private:
  bool open_;
  size_t position_ = 0;
  std::vector<Variant> pending_;
};

Variant S(const char* utf8) { return Variant::Utf8(utf8); }

// Texts of every row, for comparing what was appended.
std::vector<std::vector<std::string>> Texts(MemoryAdapter& a) {
  std::vector<std::vector<std::string>> out;
  for (auto& row : a.rows) {
    std::vector<std::string> texts;
    for (auto& v : row) {
      if (v.vt() == com::VT_EMPTY) {
        texts.push_back("<unassigned>");
      } else if (v.vt() == (com::VT_ARRAY | com::VT_UI1)) {
        std::string bytes;
        Variant::GetBytes(*v.get(), &bytes);
        texts.push_back("bytes:" + bytes);
      } else {
        std::u16string t;
        com::VariantToText(*v.get(), &t);
        texts.push_back(com::Utf16ToUtf8(t));
      }
    }
    out.push_back(texts);
  }
  return out;
}

TEST(RecordsetText, WritesRowsFieldsAndQuotesExactly) {
  struct Case {
    const char* what;
    std::vector<std::vector<Variant>> rows;
    std::string text;
  };
  const std::string bytes("\x00\xFF\x10", 3);
  std::vector<Case> cases = {
      {"three rows with empties", {{S("a"), S("b")}, {S("c"), S("")}, {Variant::Null(), S("d")}},
       "a\tb\r\nc\t\r\n\td"},
      {"no rows", {}, ""},
      {"quote inside stays plain", {{S("x\"y"), S("z")}}, "x\"y\tz"},
      {"leading quote is quoted and doubled", {{S("\"q\"r"), S("")}}, "\"\"\"q\"\"r\"\t"},
      {"tab CR LF are quoted", {{S("a\tb"), S("c\r\nd")}}, "\"a\tb\"\t\"c\r\nd\""},
      {"typed values in the fixed forms",
       {{Variant::I4(-42), Variant::R8(0.1)}, {Variant::Bool(true), Variant::Date(36526.5)}},
       "-42\t0.1\r\nTrue\t2000-01-01 12:00:00"},
      {"bytes as hex text", {{Variant::Bytes(bytes), Variant::Bytes(std::string())}},
       "\\\\x00FF10\t\\\\x"},
  };
  for (auto& c : cases) {
    MemoryAdapter a({10, 10});
    a.rows = std::move(c.rows);
    std::string out;
    a.SaveAsText(&out);
    EXPECT_EQ(out, c.text) << c.what;
  }
}

// The plain form of one value, as the writer once built it: the runtime's
// text form (or byte text) through the code page, then quoted by the rules.
std::string PlainField(const Variant& value) {
  const com::VARIANT& v = *value.get();
  std::string text;
  if (v.vt == (com::VT_ARRAY | com::VT_UI1)) {
    text = com::BytesToText(v, 0);
  } else if (v.vt != com::VT_NULL) {
    std::u16string wide;
    if (com::Failed(com::VariantToText(v, &wide))) {
      Variant coerced;
      EXPECT_EQ(com::VariantChangeType(coerced.get(), &v, 0, com::VT_BSTR), com::S_OK) << v.vt;
      wide = com::Bstr::View(coerced.get()->bstrVal);
    }
    text = platform::ProcessCodePage().FromUtf16(wide.substr(0, wide.find(u'\0')));
  }
  const bool quoted = text.find_first_of("\t\r\n") != std::string::npos ||
                      (!text.empty() && text[0] == '"');
  if (!quoted) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

TEST(RecordsetText, DirectWritingMatchesThePlainForms) {
  auto make = [](com::VARTYPE vt, auto set) {
    Variant v;
    v.get()->vt = vt;
    set(v.get());
    return v;
  };
  std::string bytes("\x00\x7F\x80\xFF", 4);
  Variant array = Variant::Bytes(bytes);
  std::vector<Variant> values = {
      Variant::I2(-32768), Variant::I4(INT32_MIN), Variant::I4(0), Variant::R8(0.1),
      Variant::R8(1e21), Variant::R8(-0.0), Variant::R8(5e-324), Variant::R8(-2.5e-07),
      Variant::Bool(true), Variant::Bool(false), Variant::Date(0), Variant::Date(0.5),
      Variant::Date(45000.999999999), Variant::Date(-1.25), Variant::Date(2958465.99999),
      Variant::Date(1e9), Variant::Null(), Variant(), S(""), S("plain"), S("日本語 ｶﾅ"),
      S("\"lead"), S("mid\"dle"), S("tab\there"), S("cr\r"), S("lf\n"),
      Variant::String(std::u16string(u"cut\0here", 8)), Variant::Bytes(std::string()),
      array,
      make(com::VT_I8, [](com::VARIANT* v) { v->llVal = INT64_MIN; }),
      make(com::VT_UI8, [](com::VARIANT* v) { v->ullVal = UINT64_MAX; }),
      make(com::VT_UI1, [](com::VARIANT* v) { v->bVal = 255; }),
      make(com::VT_I1, [](com::VARIANT* v) { v->cVal = -128; }),
      make(com::VT_UI2, [](com::VARIANT* v) { v->uiVal = 65535; }),
      make(com::VT_UI4, [](com::VARIANT* v) { v->ulVal = 4294967295u; }),
      make(com::VT_R4, [](com::VARIANT* v) { v->fltVal = 0.1f; }),
      make(com::VT_CY, [](com::VARIANT* v) { v->cyVal.int64 = INT64_MIN; }),
      make(com::VT_CY, [](com::VARIANT* v) { v->cyVal.int64 = 12345; }),
  };
  MemoryAdapter a(std::vector<int16_t>(values.size(), 10));
  a.rows = {values};
  std::string written;
  a.SaveAsText(&written);
  std::string plain;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) plain += '\t';
    plain += PlainField(values[i]);
  }
  EXPECT_EQ(written, plain);
  a.MoveFirst();
  for (size_t i = 0; i < values.size(); ++i) {
    std::string field = PlainField(values[i]);
    if (!field.empty() && field[0] == '"') continue;  // GetFieldText does not quote
    EXPECT_EQ(a.GetFieldText(static_cast<int>(i)), field) << i;
  }
}

// A large text's buffer is advised to use huge pages as a whole, the part
// copied in when it last grew included: that part is most of the text, and
// in 4 KiB pages its faults were a tenth of a large export's time.
TEST(RecordsetText, ALargeTextsBufferIsAdvisedWhole) {
  if (const char* setting = std::getenv("QUILLON_HUGE_PAGES");
      setting != nullptr && std::strcmp(setting, "0") == 0) {
    GTEST_SKIP() << "huge pages turned off";
  }
  if (!quillon::testing::HugePageAdviceTaken()) {
    GTEST_SKIP() << "this kernel has no transparent huge pages";
  }

  MemoryAdapter a({10});
  const Variant value = S(std::string(100, 'v').c_str());
  for (int r = 0; r < 90000; ++r) a.rows.push_back({value});
  std::string written;
  a.SaveAsText(&written);
  // Past 8 MiB: the last growth copied the first 8 MiB.
  ASSERT_GT(written.size(), size_t{8} << 20);
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<uintptr_t>(written.data());
  int checked = 0;
  for (uintptr_t at = (begin + kHuge - 1) & ~(kHuge - 1); at + kHuge <= begin + written.size();
       at += kHuge) {
    EXPECT_NE(quillon::testing::VmFlagsAt(reinterpret_cast<void*>(at)).find(" hg "),
              std::string::npos)
        << "the huge page " << (at - begin) << " bytes into the text is not advised";
    ++checked;
  }
  EXPECT_GE(checked, 3);
}

// The text grows in large steps once it is large: values that cross those
// steps, one by one and in a single piece, are all written in order.
TEST(RecordsetText, LargeTextsAreWrittenWhole) {
  struct Case {
    const char* what;
    int rows;
    size_t text_bytes;   // of each row's text value
    size_t byte_values;  // of each row's binary value (0: none)
  };
  const Case cases[] = {
      {"many small rows past 1 MiB", 60000, 12, 0},
      {"one binary value written as 2 MiB of hex", 1, 3, size_t{1} << 20},
      {"quoted texts past 3 MiB", 6, (size_t{1} << 19) + 7, 0},
      {"mixed rows past 3 MiB", 8, 100000, 150000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryAdapter a({10, 10, 11});
    std::string expected;
    for (int r = 0; r < c.rows; ++r) {
      // A tab inside makes the text quoted, a quote inside doubles.
      std::string text(c.text_bytes, static_cast<char>('a' + r % 26));
      if (c.text_bytes > 2) text[c.text_bytes / 2] = r % 2 ? '\t' : '"';
      std::string bytes(c.byte_values, '\0');
      for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + r) & 0xFF);
      std::vector<Variant> row = {Variant::I4(r), S(text.c_str()),
                                  c.byte_values ? Variant::Bytes(bytes) : Variant::Null()};
      if (r > 0) expected += "\r\n";
      expected += PlainField(row[0]) + "\t" + PlainField(row[1]) + "\t" + PlainField(row[2]);
      a.rows.push_back(std::move(row));
    }
    ASSERT_GT(expected.size(), size_t{1} << 20);
    std::string written = "kept ";
    a.SaveAsText(&written);
    ASSERT_EQ(written.size(), expected.size() + 5);
    EXPECT_TRUE(written.compare(5, std::string::npos, expected) == 0);
    EXPECT_EQ(written.substr(0, 5), "kept ");
  }
}

TEST(RecordsetText, ReadsWhatItWroteBack) {
  MemoryAdapter source({10, 10, 11});
  const std::string bytes("\x00\xFF\x10", 3);
  source.rows = {{S("\"start"), S("tab\there"), Variant::Bytes(bytes)},
                 {S("cr\rlf\n\"\""), S("plain \"mid\""), Variant::Null()}};
  std::string text;
  source.SaveAsText(&text);
  MemoryAdapter dest({10, 10, 11});
  dest.LoadFromText(text);
  std::vector<std::vector<std::string>> expected = {
      {"\"start", "tab\there", "bytes:" + bytes},
      {"cr\rlf\n\"\"", "plain \"mid\"", "<unassigned>"}};
  EXPECT_EQ(Texts(dest), expected);
}

TEST(RecordsetText, ReaderEdgeCases) {
  struct Case {
    const char* what;
    std::vector<int16_t> types;
    std::string text;
    std::vector<std::vector<std::string>> rows;
  };
  const std::vector<Case> cases = {
      {"empty text appends nothing", {10, 10}, "", {}},
      {"trailing CR LF adds no row", {10, 10}, "a\tb\r\n", {{"a", "b"}}},
      {"bare LF and bare CR end rows", {10}, "a\nb\rc", {{"a"}, {"b"}, {"c"}}},
      {"extra columns are dropped", {10}, "a\tb\tc", {{"a"}}},
      {"missing columns stay unassigned", {10, 10, 10}, "a", {{"a", "<unassigned>", "<unassigned>"}}},
      {"empty value assigns nothing", {10, 10}, "\tb", {{"<unassigned>", "b"}}},
      {"unterminated quote stops, earlier rows stay", {10, 10}, "a\tb\r\n\"open\tc", {{"a", "b"}}},
      {"hex into text field stays literal", {10}, "\\\\x41", {{"\\\\x41"}}},
      {"hex into binary field becomes bytes", {11}, "\\\\x4142", {{"bytes:AB"}}},
      {"quoted empty value assigns nothing", {10, 10}, "\"\"\tx", {{"<unassigned>", "x"}}},
      {"text after closing quote is cut at the field end", {10}, "\"ab\"cd", {{"ab\"c"}}},
  };
  for (const auto& c : cases) {
    MemoryAdapter a(c.types);
    a.LoadFromText(c.text);
    EXPECT_EQ(Texts(a), c.rows) << c.what;
  }
}

TEST(RecordsetText, AFailingRowKeepsTheRowsBeforeIt) {
  MemoryAdapter a({10});
  a.fail_update_at = 2;
  try {
    a.LoadFromText("1\r\n2\r\n3\r\n4");
    FAIL() << "no exception";
  } catch (const RecordsetException& e) {
    EXPECT_EQ(e.code(), 3022);
    EXPECT_EQ(e.Text(), u"duplicate");
  }
  EXPECT_EQ(Texts(a), (std::vector<std::vector<std::string>>{{"1"}, {"2"}}));
}

TEST(RecordsetText, EveryOperationNeedsAnOpenRecordset) {
  MemoryAdapter a({10}, /*open=*/false);
  std::string out;
  auto code = [](auto&& f) {
    try {
      f();
    } catch (const RecordsetException& e) {
      return e.code();
    }
    return 0;
  };
  EXPECT_EQ(code([&] { a.SaveAsText(&out); }), kNotOpen);
  EXPECT_EQ(code([&] { a.LoadFromText("x"); }), kNotOpen);
  EXPECT_EQ(code([&] { a.GetFieldCount(); }), kNotOpen);
  EXPECT_EQ(code([&] { a.GetFieldText(0); }), kNotOpen);
  EXPECT_EQ(code([&] { a.SetFieldText(0, "x"); }), kNotOpen);
}

// The reader's plain byte scan must find the separators exactly where the
// multibyte-aware search of either code page does, damaged text included.
TEST(RecordsetText, ByteScanAgreesWithTheCodePage) {
  uint32_t state = 12345;
  auto next = [&] {
    state = state * 1103515245 + 12345;
    return static_cast<uint8_t>(state >> 16);
  };
  const uint8_t interesting[] = {'\t', '\r', '\n', '"', 'a', 0x81, 0x9F, 0xE0, 0xFC,
                                 0x40, 0x7F, 0x80, 0xC2, 0xE3, 0xF4, 0xBF, 0x00};
  for (int codepage : {platform::CodePage::kJapanese, platform::CodePage::kUtf8}) {
    const platform::CodePage& cp = platform::CodePage::Get(codepage);
    for (int round = 0; round < 2000; ++round) {
      std::string text;
      const size_t n = next() % 24;
      for (size_t i = 0; i < n; ++i) {
        text += static_cast<char>(next() % 3 == 0 ? next() : interesting[next() % sizeof interesting]);
      }
      // Walk field by field as the reader does: every search starts on a
      // character boundary (the text start or just behind a separator).
      size_t from = 0;
      while (from <= text.size()) {
        const size_t fast = FindFieldEnd(text, from);
        ASSERT_EQ(fast, cp.FindAnyOf(text, "\t\r\n", from)) << codepage << " round " << round;
        if (fast == std::string::npos) break;
        from = fast + 1;
      }
    }
  }
}

TEST(RecordsetException, CodesMapToTheirMessages) {
  const struct {
    int32_t code;
    int number;
  } cases[] = {{1002, 20001}, {1003, 20002}, {1004, 20003}, {1005, 20004}, {1006, 20005},
               {1011, 20006}, {1012, 20007}, {1001, 20099}, {3022, 20099}};
  for (const auto& c : cases) {
    RecordsetException e(c.code);
    EXPECT_EQ(e.MessageNumber(), c.number) << c.code;
    EXPECT_EQ(e.Text(), MessageOrUnknown(c.number)) << c.code;
    EXPECT_FALSE(e.Text().empty());
  }
  RecordsetException engine(3078, u"DAO.Database", u"no such table: T", u"", 5003078);
  EXPECT_EQ(engine.Text(), u"no such table: T");
}

}  // namespace
}  // namespace quillon::recordset
