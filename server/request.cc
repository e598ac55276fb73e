#include "server/request.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "quillon/core/encoding.h"
#include "quillon/core/pairs.h"
#include "quillon/server/qserver.h"
#include "server/body_buffer.h"

namespace quillon::server {
namespace {

constexpr std::string_view kBoundaryKey = "boundary=";
constexpr std::string_view kBlankLine = "\r\n\r\n";
constexpr std::string_view kNameKey = "name=";
constexpr std::string_view kFileNameKey = "filename=";
constexpr std::string_view kContentTypeKey = "Content-Type";
// CR LF "--" in front of every boundary that follows data.
constexpr size_t kTrailerBytes = 4;

// A promised body up to this size is reserved in one piece, so that an
// upload lands in a buffer that never moves.
constexpr uint64_t kTrustedReserve = uint64_t{1} << 30;

// Placeholders stand for large parts in the pair text; they are tried with
// a different salt when the text happens to contain one already.
constexpr size_t kPlaceholderAttempts = 16;

// The peers search part boundaries and blank lines as zero-terminated
// text: the text ends at the first zero byte at or after the search start.
// Searches only move forward, so the zero found last is reused.
class TextSearch {
 public:
  TextSearch(std::string_view data, const platform::CodePage& cp) : data_(data), cp_(cp) {}

  size_t Find(std::string_view needle, size_t from) {
    if (from > data_.size()) return std::string_view::npos;
    if (!zero_known_ || zero_ < from) {
      zero_known_ = true;
      const void* hit = std::memchr(data_.data() + from, '\0', data_.size() - from);
      zero_ = hit == nullptr ? data_.size() : static_cast<const char*>(hit) - data_.data();
    }
    const size_t found = cp_.Find(data_.substr(from, zero_ - from), needle);
    return found == std::string_view::npos ? found : from + found;
  }

 private:
  std::string_view data_;
  const platform::CodePage& cp_;
  size_t zero_ = 0;
  bool zero_known_ = false;
};

// Byte by byte up to the end of the data: uploaded bytes may hold zeros.
size_t FindBytes(std::string_view data, std::string_view needle, size_t from) {
  if (from > data.size()) return std::string_view::npos;
  const void* hit = ::memmem(data.data() + from, data.size() - from, needle.data(), needle.size());
  return hit == nullptr ? std::string_view::npos : static_cast<const char*>(hit) - data.data();
}

// A header field's text: from `from`, past any run of `skip` characters, up
// to the first of `stop` (or the end of the header).
std::string FieldText(std::string_view header, size_t from, std::string_view skip,
                      std::string_view stop, const platform::CodePage& cp) {
  size_t start = from;
  while (start < header.size() && skip.find(header[start]) != std::string_view::npos) ++start;
  size_t end = cp.FindAnyOf(header, stop, start);
  if (end == std::string_view::npos) end = header.size();
  return std::string(header.substr(start, end - start));
}

std::string HeaderField(std::string_view header, std::string_view key, std::string_view skip,
                        std::string_view stop, const platform::CodePage& cp) {
  const size_t at = cp.Find(header, key);
  if (at == std::string_view::npos) return std::string();
  return FieldText(header, at + key.size(), skip, stop, cp);
}

// The marker followed by the 16 hex digits of `index`: letters and digits
// only, like an encoded value, so the pair grammar treats it as one.
std::string Placeholder(std::string_view marker, uint64_t index) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text(marker);
  for (int shift = 60; shift >= 0; shift -= 4) text.push_back(kHex[(index >> shift) & 0xF]);
  return text;
}

size_t CountOccurrences(std::string_view text, std::string_view needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

// True when SplitPairs over `pair_text` yields every placeholder exactly
// once, as a whole value, and the marker nowhere else. Only then may the
// entries take the slices' bytes for the placeholders' encoded text: the
// pair grammar cannot tell one run of letters and escapes from another,
// so the real text would split into the same pairs.
bool PlaceholdersStandAlone(std::string_view pair_text, std::string_view marker,
                            size_t placeholder_count, const platform::CodePage& cp) {
  std::vector<std::string> names;
  std::vector<std::string> values;
  core::SplitPairs(pair_text, &names, &values, cp);
  for (const std::string& name : names) {
    if (name.find(marker) != std::string::npos) return false;
  }
  size_t seen = 0;
  const size_t placeholder_size = marker.size() + 16;
  for (const std::string& value : values) {
    const size_t at = value.find(marker);
    if (at == std::string::npos) continue;
    if (at != 0 || value.size() != placeholder_size) return false;
    ++seen;
  }
  return seen == placeholder_count;
}

void ParseMultipart(const RequestText& request, const RequestBody* body, ServerValues* values,
                    size_t raw_part_threshold) {
  const platform::CodePage& cp = values->code_page();
  const std::optional<std::string_view> bytes =
      body != nullptr ? std::optional<std::string_view>(body->bytes) : std::nullopt;
  MultipartScan scan = ScanMultipart(request.content_type, request.query_string, bytes, cp);
  std::vector<std::string> file_names(scan.query_pairs);
  std::vector<std::string> content_types(scan.query_pairs);
  if (!scan.has_boundary) {
    values->AppendUploadInfo(std::move(file_names), std::move(content_types));
    return;
  }
  for (MultipartPart& part : scan.parts) {
    file_names.push_back(std::move(part.file_name));
    content_types.push_back(std::move(part.content_type));
  }

  const std::string_view data = bytes.value_or(std::string_view());
  auto part_bytes = [&](const MultipartPart& part) {
    return data.substr(part.data_offset, part.data_size);
  };
  auto is_large = [&](const MultipartPart& part) {
    return part.data_size > 0 && part.data_size >= raw_part_threshold;
  };

  // The pair text: query string, then "&" name "=" encoded data per part,
  // large parts standing in as placeholders.
  auto build = [&](std::string_view marker,
                   std::vector<std::pair<std::string, BodySlice>>* placeholders) {
    std::string text(request.query_string);
    for (const MultipartPart& part : scan.parts) {
      text.push_back('&');
      text.append(part.field_name);
      text.push_back('=');
      if (placeholders != nullptr && is_large(part)) {
        std::string placeholder = Placeholder(marker, placeholders->size());
        text.append(placeholder);
        placeholders->emplace_back(std::move(placeholder),
                                   BodySlice{body->owner, part_bytes(part)});
      } else {
        core::AppendEncodedValue(part_bytes(part), &text);
      }
    }
    return text;
  };

  std::vector<std::pair<std::string, BodySlice>> placeholders;
  if (std::any_of(scan.parts.begin(), scan.parts.end(), is_large)) {
    for (size_t attempt = 0; attempt < kPlaceholderAttempts; ++attempt) {
      // "Qph" and four hex digits of the attempt.
      const std::string marker = "Qph" + Placeholder("", attempt).substr(12);
      placeholders.clear();
      std::string pair_text = build(marker, &placeholders);
      // A marker that the names or small values happen to contain: try
      // another one.
      if (CountOccurrences(pair_text, marker) != placeholders.size()) continue;
      if (!PlaceholdersStandAlone(pair_text, marker, placeholders.size(), cp)) break;
      values->FillIncomingWithSlices(pair_text, placeholders, std::move(file_names),
                                     std::move(content_types));
      return;
    }
  }
  // No large part, or a form whose names shift the pairs around one: the
  // plain road, everything encoded.
  placeholders.clear();
  values->FillIncomingWithSlices(build("", nullptr), placeholders, std::move(file_names),
                                 std::move(content_types));
}

}  // namespace

int64_t ParseContentLength(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) {
    ++pos;
  }
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    const int digit = text[pos] - '0';
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return negative ? -value : value;
}

RequestBody CopyBody(std::string_view bytes) {
  auto owner = std::make_shared<const std::string>(bytes);
  return RequestBody{*owner, owner};
}

RequestBody ReadBody(CgiIo& io, int64_t length) {
  if (length <= 0) return RequestBody{};
  const auto wanted = static_cast<uint64_t>(length);
  auto buffer = std::make_shared<BodyBuffer>();
  if (wanted <= kTrustedReserve) {
    try {
      buffer->Reserve(static_cast<size_t>(wanted));
    } catch (const std::bad_alloc&) {
      // The promise may be larger than what comes; grow with the data.
    }
  }
  uint64_t used = 0;
  while (used < wanted) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(kReadPiece, wanted - used));
    if (used + piece > buffer->capacity()) {
      buffer->Reserve(static_cast<size_t>(
          std::min<uint64_t>(wanted, std::max<uint64_t>(used + piece, 2 * buffer->capacity()))));
    }
    const size_t got = io.ReadInput(buffer->data() + used, piece);
    if (got == 0) break;
    used += std::min(got, piece);
  }
  std::string_view bytes(buffer->data(), static_cast<size_t>(used));
  return RequestBody{bytes, std::move(buffer)};
}

MultipartScan ScanMultipart(std::string_view content_type, std::string_view query_string,
                            std::optional<std::string_view> body, const platform::CodePage& cp) {
  MultipartScan scan;
  // '=' is never part of a multibyte character, so a byte count is the
  // count of characters.
  scan.query_pairs = static_cast<size_t>(std::count(query_string.begin(), query_string.end(), '='));
  const size_t key = cp.Find(content_type, kBoundaryKey);
  if (key == std::string_view::npos) return scan;
  scan.has_boundary = true;
  if (!body) return scan;

  const std::string_view boundary = content_type.substr(key + kBoundaryKey.size());
  const std::string_view data = *body;
  TextSearch text(data, cp);
  size_t search = 0;
  for (;;) {
    const size_t part_start = text.Find(boundary, search);
    if (part_start == std::string_view::npos) break;
    const size_t blank = text.Find(kBlankLine, part_start);
    if (blank == std::string_view::npos) break;
    const size_t data_start = blank + kBlankLine.size();
    size_t part_end = FindBytes(data, boundary, data_start);
    if (part_end == std::string_view::npos) part_end = data.size();

    const std::string_view header = data.substr(part_start, data_start - part_start);
    const size_t name_at = cp.Find(header, kNameKey);
    if (name_at == std::string_view::npos) break;
    MultipartPart part;
    part.field_name = FieldText(header, name_at + kNameKey.size(), "\"", "\"\r\n", cp);
    part.file_name = HeaderField(header, kFileNameKey, "\"", "\"\r\n", cp);
    part.content_type = HeaderField(header, kContentTypeKey, " \":", " \"\r\n", cp);
    part.data_offset = data_start;
    // A boundary closer than the trailer bytes leaves no data, never a
    // negative length.
    part.data_size = part_end >= data_start + kTrailerBytes ? part_end - kTrailerBytes - data_start
                                                            : 0;
    scan.parts.push_back(std::move(part));

    if (part_end == data.size()) break;
    search = part_end;
  }
  return scan;
}

void ParseRequest(const RequestText& request, const RequestBody* body, ServerValues* values,
                  size_t raw_part_threshold) {
  const platform::CodePage& cp = values->code_page();
  if (cp.Find(cp.ToUpper(request.content_type), "MULTIPART/FORM-DATA") != std::string::npos) {
    ParseMultipart(request, body, values, raw_part_threshold);
    return;
  }
  // No check that the body really is URL-encoded: a client control sends
  // its pairs without a content type.
  std::string pair_text(request.query_string);
  if (body != nullptr) {
    pair_text.push_back('&');
    pair_text.append(body->bytes.substr(0, body->bytes.find('\0')));
  }
  values->FillIncoming(pair_text);
}

std::vector<std::pair<std::string, std::string>> ScanCookiePairs(std::string_view text,
                                                                 const platform::CodePage& cp) {
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t pos = 0;
  for (;;) {
    const size_t equals = cp.Find(text, "=", pos);
    if (equals == std::string_view::npos) break;
    std::string name(text.substr(pos, equals - pos));
    const size_t separator = cp.Find(text, "; ", equals + 1);
    if (separator == std::string_view::npos) {
      pairs.emplace_back(std::move(name), std::string(text.substr(equals + 1)));
      break;
    }
    pairs.emplace_back(std::move(name), std::string(text.substr(equals + 1, separator - equals - 1)));
    pos = separator + 2;
  }
  return pairs;
}

std::vector<std::pair<std::string, std::string>> ScanDebugEnvironment(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> variables;
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t equals = text.find('=', pos);
    if (equals == std::string_view::npos) break;
    std::string name(text.substr(pos, equals - pos));
    const size_t line_end = text.find("\r\n", equals + 1);
    if (line_end == std::string_view::npos) {
      variables.emplace_back(std::move(name), std::string());
      pos = equals + 3;
      continue;
    }
    variables.emplace_back(std::move(name), std::string(text.substr(equals + 1, line_end - equals - 1)));
    pos = line_end + 2;
  }
  return variables;
}

}  // namespace quillon::server
