#include "server/request.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <new>

#include "quillon/core/encoding.h"
#include "quillon/core/pairs.h"
#include "quillon/server/cgi_io.h"
#include "quillon/server/qserver.h"
#include "core/pairs_walk.h"
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

// What stands for a large part's data in the pair text. Any run of
// characters that are no separators, no lead bytes and no zero would do:
// stand-ins are recognised by where they lie, never by what they say, so
// nothing a visitor sends can be taken for one.
constexpr std::string_view kStandIn = "0";

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
    return FindOnCharacters(data_.substr(0, zero_), needle, from, cp_);
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
std::string_view FieldText(std::string_view header, size_t from, std::string_view skip,
                           std::string_view stop, const platform::CodePage& cp) {
  size_t start = from;
  while (start < header.size() && skip.find(header[start]) != std::string_view::npos) ++start;
  size_t end = cp.FindAnyOf(header, stop, start);
  if (end == std::string_view::npos) end = header.size();
  return header.substr(start, end - start);
}

std::string_view HeaderField(std::string_view header, std::string_view key, std::string_view skip,
                             std::string_view stop, const platform::CodePage& cp) {
  const size_t at = cp.Find(header, key);
  if (at == std::string_view::npos) return std::string_view();
  return FieldText(header, at + key.size(), skip, stop, cp);
}

// Throws RequestTooLarge when `text` holds more than `limit` pairs; the
// walk stops at the first pair over it, so a flood of pairs costs no more
// than the limit.
void CheckPairCount(std::string_view text, std::optional<size_t> limit,
                    const platform::CodePage& cp) {
  if (!limit) return;
  struct Over {};
  size_t count = 0;
  try {
    core::WalkPairs(text, cp, [&](std::string_view, std::string_view) {
      if (++count > *limit) throw Over{};
    });
  } catch (const Over&) {
    throw RequestTooLarge("the request holds more than QUILLON_MAX_REQUEST_PAIRS (" +
                          std::to_string(*limit) + ") pairs");
  }
}

void ParseMultipart(const RequestText& request, const RequestBody* body, ServerValues* values,
                    size_t raw_part_threshold) {
  const platform::CodePage& cp = values->code_page();
  core::UploadInfo uploads;
  // The query string's pairs (taken to be one '=' each) get blank upload
  // information, so that the parts line up with their entries. '=' is
  // never part of a multibyte character, so a byte count will do.
  uploads.AppendBlank(static_cast<size_t>(
      std::count(request.query_string.begin(), request.query_string.end(), '=')));

  // The pair text the peers build - query string, then "&" name "="
  // encoded data per part - except that large parts are a one-character
  // stand-in whose position is remembered. Encoded data holds no
  // separator, lead byte or zero, so the pair grammar splits this text
  // exactly as it splits the fully encoded one; only the stand-ins' runs
  // differ, and those are replaced by the part's bytes wherever they land,
  // as a value or (after a field name with '=' or '&' in it) as a name.
  CheckPairCount(request.query_string, request.max_pairs, cp);
  std::string text(request.query_string);
  std::vector<ServerValues::PartStandIn> stand_ins;
  size_t part_count = 0;
  const std::string_view data = body != nullptr ? body->bytes : std::string_view();
  const bool has_boundary =
      ForEachMultipartPart(request.content_type, data, cp, [&](const MultipartPart& part) {
        if (request.max_parts && ++part_count > *request.max_parts) {
          throw RequestTooLarge("the request holds more than QUILLON_MAX_REQUEST_PARTS (" +
                                std::to_string(*request.max_parts) + ") parts");
        }
        uploads.Append(part.file_name, part.content_type);
        text.push_back('&');
        text.append(part.field_name);
        text.push_back('=');
        const std::string_view part_data = data.substr(part.data_offset, part.data_size);
        if (part.data_size > 0 && part.data_size >= raw_part_threshold) {
          stand_ins.push_back({text.size(), BodySlice{body->owner, part_data}});
          text.append(kStandIn);
        } else {
          core::AppendEncodedValue(part_data, &text);
        }
      });
  if (!has_boundary) {
    values->AppendUploadInfo(uploads);
    return;
  }
  values->FillIncomingWithStandIns(std::move(text), stand_ins, uploads);
}

}  // namespace

size_t FindOnCharacters(std::string_view text, std::string_view needle, size_t from,
                        const platform::CodePage& cp) {
  if (from > text.size()) return std::string_view::npos;
  if (needle.empty()) return from;
  // Character boundaries from `from` on, walked once: `walked` is the next
  // boundary not yet passed, `passed` the boundaries behind it that a later
  // hit may still ask about (positions at or after the current hit).
  size_t walked = from;
  std::deque<size_t> passed;
  auto is_boundary = [&](size_t p) {
    while (walked < p) {
      passed.push_back(walked);
      walked += cp.CharLength(text, walked);
    }
    if (walked == p) return true;
    return std::binary_search(passed.begin(), passed.end(), p);
  };
  size_t pos = from;
  while (pos + needle.size() <= text.size()) {
    // Two-way search (glibc memmem): linear in text and needle together.
    const void* found =
        ::memmem(text.data() + pos, text.size() - pos, needle.data(), needle.size());
    if (found == nullptr) break;
    const auto hit = static_cast<size_t>(static_cast<const char*>(found) - text.data());
    while (!passed.empty() && passed.front() < hit) passed.pop_front();
    // The match must start and end between two characters, or it would
    // take half of a double-byte character for part of the needle.
    if (is_boundary(hit) && is_boundary(hit + needle.size())) return hit;
    pos = hit + 1;
  }
  return std::string_view::npos;
}

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

bool ForEachMultipartPart(std::string_view content_type, std::string_view data,
                          const platform::CodePage& cp,
                          const std::function<void(const MultipartPart&)>& part_found) {
  const size_t key = cp.Find(content_type, kBoundaryKey);
  if (key == std::string_view::npos) return false;
  if (data.empty()) return true;

  const std::string_view boundary = content_type.substr(key + kBoundaryKey.size());
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
    part_found(part);

    if (part_end == data.size()) break;
    search = part_end;
  }
  return true;
}

MultipartScan ScanMultipart(std::string_view content_type, std::string_view query_string,
                            std::optional<std::string_view> body, const platform::CodePage& cp) {
  MultipartScan scan;
  scan.query_pairs = static_cast<size_t>(std::count(query_string.begin(), query_string.end(), '='));
  scan.has_boundary =
      ForEachMultipartPart(content_type, body.value_or(std::string_view()), cp,
                           [&](const MultipartPart& part) { scan.parts.push_back(part); });
  return scan;
}

void ParseRequest(const RequestText& request, RequestBody* body, ServerValues* values,
                  size_t raw_part_threshold, bool release_body) {
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
  CheckPairCount(pair_text, request.max_pairs, cp);
  if (body != nullptr && release_body) *body = RequestBody{};
  values->FillIncoming(std::move(pair_text));
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
