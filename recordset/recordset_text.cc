// The recordset text and the value <-> text conversions shared by every
// engine adapter.
#include <algorithm>
#include <string>
#include <string_view>

#include "quillon/component/bstr.h"
#include "quillon/component/errors.h"
#include "quillon/component/forward.h"
#include "quillon/component/runtime.h"
#include "quillon/component/byte_text.h"
#include "quillon/component/variant.h"
#include "quillon/core/encoding.h"
#include "quillon/platform/codepage.h"
#include "quillon/recordset/recordset.h"

namespace quillon::recordset {
namespace {

constexpr char kTab = '\t';
constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr char kQuote = '"';
constexpr std::string_view kFieldEnds = "\t\r\n";

// The output buffer grows in steps of this many bytes, like the peers'
// memory stream.
constexpr size_t kGrowthStep = 4096;
// From this capacity on the text grows eightfold instead of twofold. Each
// move copies what was written and faults it in again in fresh memory,
// which on a virtual machine cost a third of an export; room that is never
// written stays address space only, never resident.
constexpr size_t kLargeText = size_t{1} << 20;

// Finds the first of `chars` at or after `from`. A plain byte scan finds
// the same positions as the code page's multibyte-aware one here: tab, CR,
// LF and the double quote lie below 0x40, so they are never the trail byte
// of a CP932 character, and UTF-8 continuation bytes are all 0x80 or
// above; a damaged lead byte counts as a character of its own in both.
// (RecordsetText.ByteScanAgreesWithTheCodePage holds this against
// CodePage::FindAnyOf.)
class ByteSet {
 public:
  constexpr explicit ByteSet(std::string_view chars) {
    for (char c : chars) in_[static_cast<unsigned char>(c)] = true;
  }
  size_t Find(std::string_view text, size_t from) const {
    for (size_t i = from; i < text.size(); ++i) {
      if (in_[static_cast<unsigned char>(text[i])]) return i;
    }
    return std::string_view::npos;
  }

 private:
  bool in_[256] = {};
};

constexpr ByteSet kFieldEndSet{kFieldEnds};
constexpr ByteSet kQuoteSet{"\""};
constexpr ByteSet kQuotingSet{"\t\r\n"};

// Room for `n` more bytes in `out`.
void Room(std::string* out, size_t n) {
  if (out->size() + n > out->capacity()) {
    const size_t wanted = out->size() + n;
    const size_t factor = out->capacity() >= kLargeText ? 8 : 2;
    const size_t capacity =
        std::max(wanted + kGrowthStep - wanted % kGrowthStep, out->capacity() * factor);
    if (capacity < com::kLargeBuffer) {
      out->reserve(capacity);
      return;
    }
    // The huge-page advice goes to the whole new buffer before what was
    // written is copied into it: advised after the copy, the copied part
    // (64 of the 83 MB of a million rows' text) was faulted in 4 KiB
    // pages, and such an export spent a tenth of its time copying.
    std::string grown;
    grown.reserve(capacity);
    com::AdviseLargeBuffer(grown.data(), grown.capacity());
    grown.append(*out);
    out->swap(grown);
  }
}

void Append(std::string* out, std::string_view bytes) {
  Room(out, bytes.size());
  out->append(bytes);
}

void WriteTextValue(std::string_view text, std::string* out) {
  const bool quoted = kQuotingSet.Find(text, 0) != std::string_view::npos ||
                      (!text.empty() && text.front() == kQuote);
  if (!quoted) {
    Append(out, text);
    return;
  }
  Append(out, "\"");
  size_t start = 0;
  for (;;) {
    const size_t quote = kQuoteSet.Find(text, start);
    if (quote == std::string_view::npos) break;
    Append(out, text.substr(start, quote + 1 - start));
    Append(out, "\"");
    start = quote + 1;
  }
  Append(out, text.substr(start));
  Append(out, "\"");
}

// The value of a quoted field between p (its opening quote) and `end` (the
// character that ends the field): what lies between the opening quote and
// the last character before the end, doubled quotes made single.
std::string Unquote(std::string_view text, size_t p, size_t end) {
  std::string_view inner = text.substr(p + 1, end - p - 2);
  std::string value;
  value.reserve(inner.size());
  size_t start = 0;
  for (;;) {
    const size_t quote = kQuoteSet.Find(inner, start);
    if (quote == std::string_view::npos) break;
    value.append(inner.substr(start, quote + 1 - start));
    start = quote + 1;
    if (start < inner.size() && inner[start] == kQuote) ++start;
  }
  value.append(inner.substr(start));
  return value;
}

}  // namespace

size_t FindFieldEnd(std::string_view text, size_t from) { return kFieldEndSet.Find(text, from); }

int RecordsetException::MessageNumber() const {
  switch (code_) {
    case kNoEngine: return 20001;
    case kNotOpen: return 20002;
    case kBadParameter: return 20003;
    case kConversionFailed: return 20004;
    case kBadFieldName: return 20005;
    case kNoAdoConnection: return 20006;
    case kNoSchema: return 20007;
    default: return 20099;
  }
}

std::u16string RecordsetException::Text() const {
  if (!description_.empty()) return description_;
  return MessageOrUnknown(MessageNumber());
}

const char* RecordsetException::what() const noexcept {
  try {
    if (what_.empty()) what_ = std::to_string(code_) + ": " + com::Utf16ToUtf8(Text());
    return what_.c_str();
  } catch (...) {
    return "recordset error";
  }
}

int RecordsetAdapter::GetFieldCount() const {
  if (!IsOpen()) throw RecordsetException(kNotOpen);
  return static_cast<int>(fields_.size());
}

namespace {

// The text of a value without a direct form, through the runtime's
// coercion; 1005 when there is none.
std::u16string CoercedText(const com::VARIANT& v) {
  std::u16string text;
  if (com::Succeeded(com::VariantToText(v, &text))) return text;
  com::VARIANT coerced{};
  if (com::Failed(com::VariantChangeType(&coerced, &v, 0, com::VT_BSTR))) {
    throw RecordsetException(kConversionFailed);
  }
  com::Variant owner;
  owner.Adopt(&coerced);
  return std::u16string(com::Bstr::View(owner.get()->bstrVal));
}

// The bytes of a one-dimensional byte array held directly; false for any
// other form (which BytesToText handles).
bool DirectBytes(const com::VARIANT& v, std::string_view* bytes) {
  if (v.vt != (com::VT_ARRAY | com::VT_UI1) || v.parray == nullptr || v.parray->cDims != 1 ||
      v.parray->cbElements != 1) {
    return false;
  }
  *bytes = std::string_view(static_cast<const char*>(v.parray->pvData),
                            v.parray->rgsabound[0].cElements);
  return true;
}

}  // namespace

std::string RecordsetAdapter::GetFieldText(int index) {
  std::string text;
  AppendFieldText(index, &text, /*quote=*/false);
  return text;
}

// The value of field `index` in its text form, appended to `out` (between
// quotes when `quote` and the text needs them). Every kind is written
// straight into `out`: numbers, dates and flags in their ASCII form, text
// converted from UTF-16 in a scratch buffer, byte arrays as hex.
void RecordsetAdapter::AppendFieldText(int index, std::string* out, bool quote) {
  if (!IsOpen()) throw RecordsetException(kNotOpen);
  if (index < 0 || index >= static_cast<int>(fields_.size())) {
    throw RecordsetException(kBadParameter);
  }
  com::Variant value;
  ReadValue(index, value.get());
  const com::VARIANT& v = *value.get();
  if (v.vt == com::VT_EMPTY || v.vt == com::VT_NULL) return;
  char ascii[com::kAsciiTextCapacity];
  if (const int n = com::VariantToAscii(v, ascii); n >= 0) {
    // Never quoted: no tab, CR, LF or leading double quote in these forms.
    Append(out, std::string_view(ascii, static_cast<size_t>(n)));
    return;
  }
  if (std::string_view bytes; DirectBytes(v, &bytes)) {
    Room(out, core::kHexPrefix.size() + 2 * bytes.size());
    core::AppendHex(bytes, out);
    return;
  }
  if (v.vt == (com::VT_ARRAY | com::VT_UI1)) {
    Append(out, com::BytesToText(v, /*form=*/0));
    return;
  }
  std::u16string coerced;
  std::u16string_view text;
  if (v.vt == com::VT_BSTR) {
    text = com::Bstr::View(v.bstrVal);
  } else {
    coerced = CoercedText(v);
    text = coerced;
  }
  // Values are written up to their first NUL, so the text holds none.
  text = text.substr(0, text.find(u'\0'));
  const platform::CodePage& cp = platform::ProcessCodePage();
  const size_t room = cp.MaxNarrowLength(text.size());
  if (scratch_.size() < room) scratch_.resize(room);
  const std::string_view narrow(scratch_.data(), cp.FromUtf16(text, scratch_.data()));
  if (quote) {
    WriteTextValue(narrow, out);
  } else {
    Append(out, narrow);
  }
}

void RecordsetAdapter::SetFieldText(int index, std::string_view text) {
  if (!IsOpen()) throw RecordsetException(kNotOpen);
  if (index < 0 || index >= static_cast<int>(fields_.size())) {
    throw RecordsetException(kBadParameter);
  }
  if (IsBinaryCapable(fields_[index].type) && text.starts_with(core::kHexPrefix)) {
    com::Variant bytes = com::TextToBytes(text, /*form=*/0);
    WriteValue(index, *bytes.get());
    return;
  }
  // Converted straight into the automation string.
  com::Variant value = com::Variant::AdoptBstr(com::WideText(text));
  WriteValue(index, *value.get());
}

void RecordsetAdapter::SaveAsText(std::string* out) {
  if (!IsOpen()) throw RecordsetException(kNotOpen);
  try {
    MoveFirst();
  } catch (const RecordsetException&) {
    // An empty recordset may refuse to move; the end-of-file test decides.
  }
  while (!IsEof()) {
    const int n = GetFieldCount();
    for (int i = 0; i < n; ++i) {
      AppendFieldText(i, out, /*quote=*/true);
      if (i < n - 1) Append(out, "\t");
    }
    MoveNext();
    if (IsEof()) break;
    Append(out, "\r\n");
  }
}

void RecordsetAdapter::LoadFromText(std::string_view text) {
  if (!IsOpen()) throw RecordsetException(kNotOpen);
  if (text.empty()) return;
  const int n = GetFieldCount();
  int column = 0;
  AddNew();
  size_t p = 0;
  for (;;) {
    size_t from = p;
    const bool quoted = p < text.size() && text[p] == kQuote;
    if (quoted) {
      size_t search = p + 1;
      size_t closing = std::string_view::npos;
      for (;;) {
        const size_t quote = kQuoteSet.Find(text, search);
        if (quote == std::string_view::npos) break;
        if (quote + 1 < text.size() && text[quote + 1] == kQuote) {
          search = quote + 2;
          continue;
        }
        closing = quote;
        break;
      }
      // Unterminated: the record being added is dropped, earlier ones stay.
      if (closing == std::string_view::npos) return;
      from = closing;
    }
    size_t end = kFieldEndSet.Find(text, from);
    if (end == std::string_view::npos) end = text.size();
    if (column < n) {
      if (quoted) {
        const std::string value = Unquote(text, p, end);
        if (!value.empty()) SetFieldText(column, value);
      } else if (end > p) {
        SetFieldText(column, text.substr(p, end - p));
      }
    }
    if (end == text.size()) {
      Update();
      return;
    }
    if (text[end] == kTab) {
      ++column;
      p = end + 1;
      continue;
    }
    Update();
    column = 0;
    p = end + 1;
    // A CR ends the row together with the LF after it. A bare CR counts
    // alone: skipping the next character blindly would eat the first byte
    // of the following row.
    if (text[end] == kCr && p < text.size() && text[p] == kLf) ++p;
    if (p >= text.size()) return;
    AddNew();
  }
}

}  // namespace quillon::recordset
