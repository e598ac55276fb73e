// The template parser on arbitrary bytes in either code page, then both
// write forms, a search with its continuation, a text position and its
// way back, a few tree edits and a copy into another document that
// outlives this one. Checks that a found position really lies inside the
// tag it names, that the descendants range walks the tags FindNext steps
// through, and that a value set with quotes never ends early in the page.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "quillon/html/document.h"
#include "quillon/platform/codepage.h"

using quillon::html::Document;
using quillon::html::Ref;
using quillon::html::Tag;
using quillon::platform::CodePage;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const CodePage& cp = CodePage::Get(in.ConsumeBool() ? CodePage::kJapanese : CodePage::kUtf8);
  const bool convert = in.ConsumeBool();
  const bool master = in.ConsumeBool();
  const uint16_t pos_seed = in.ConsumeIntegral<uint16_t>();
  const uint8_t edits = in.ConsumeIntegral<uint8_t>();
  std::string page = in.ConsumeRemainingBytesAsString();

  Document doc(cp);
  doc.SetConvertMasterPage(convert);
  doc.SetMasterPage(page);
  std::string written = doc.GetPageData();
  std::string kept = doc.GetMasterPage();

  // With no search made, FindNext steps through the tags below the root
  // whose parameter "" reads "" (all but those with an attribute written
  // with no name and a value) in document order: the order of the
  // descendants range.
  {
    int32_t stepped = 0;
    for (Tag& t : doc.Root()->Descendants()) {
      if (!t.GetParam("").empty()) continue;
      if (stepped++ >= 256) break;
      if (doc.FindNext().get() != &t) abort();
    }
  }
  doc.SetFindPosition(nullptr);

  // A search by the name of the first tag, then its continuation to the
  // end and one step past it.
  Ref<Tag> first = doc.FindNext();
  if (first) {
    doc.FindByTagName(first->TagName());
    for (int i = 0; i < 64 && doc.FindNext(); ++i) {
    }
    doc.FindByID(first->ID());
  }

  const std::string& text = master ? kept : written;
  int32_t length = static_cast<int32_t>(cp.ToUtf16(text).size());
  int32_t pos = length > 0 ? pos_seed % (length + 1) : 0;
  Ref<Tag> at = doc.TextPosToTag(master, pos);
  if (at != doc.Root()) {
    int32_t begin = 0, end = 0;
    doc.TagToTextPos(master, at.get(), &begin, &end);
    if (!(begin <= pos && pos < end)) abort();
  }

  // A few edits driven by the input, then everything written again.
  Ref<Tag> current = at;
  for (int i = 0; i < (edits & 7) && current; ++i) {
    switch ((edits >> 3) % 4 + i % 2) {
      case 0:
        if (current->Parent()) current->CopyAfter(current.get(), 1);
        break;
      case 1:
        current->AddCopy(doc.Root(), 1);
        break;
      case 2:
        current = doc.FindNext();
        break;
      default:
        current->RemoveFromParent();
        current = doc.FindNext();
        break;
    }
  }
  // A value with quotes, set by a script, stays inside its quotes: written
  // raw, the value below would show as an empty value (the template may
  // hold such ones already; none may be added).
  if (current) {
    auto empty_values = [](const std::string& text) {
      size_t n = 0;
      for (size_t at = text.find("FUZZQUOTE=\"\""); at != std::string::npos;
           at = text.find("FUZZQUOTE=\"\"", at + 1)) {
        ++n;
      }
      return n;
    };
    const size_t before = empty_values(doc.GetPageData());
    current->SetParameter("fuzzquote", "\"" + page.substr(0, 16) + "\"");
    if (empty_values(doc.GetPageData()) > before) abort();
  }
  // Copies into another document live on after this one's tree changes.
  Document other(cp);
  if (first) {
    first->AddCopy(other.Root(), 2);
    doc.SetMasterPage(page.substr(page.size() / 2));
  }
  other.GetPageData();
  doc.GetMasterPage();
  // Written to an output, the page is the same bytes, line end for line end.
  struct Collect final : quillon::html::Output {
    void AppendText(std::string_view piece) override { text.append(piece); }
    void LineEnd() override { text.append("\r\n"); }
    std::string text;
  } out;
  doc.WriteTo(&out);
  doc.DetachOutput();
  if (out.text != doc.GetPageData()) abort();
  return 0;
}
