// ParseRequest, URL-encoded and multipart, with arbitrary CONTENT_TYPE,
// QUERY_STRING and body. Input: one flag byte, the content type up to the
// first '\n', the query string up to the next '\n', then the body.
//   bit 0  there is a body          bit 1  code page 932 (else 65001)
//   bit 2  the content type gets "multipart/form-data; boundary=" in front
// Property: keeping large parts as body slices is invisible, i.e. the run
// with every part kept raw and the run with every part encoded give the
// same entries, distinct names, upload information and request-data text.
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/platform/codepage.h"
#include "server/request.h"
#include "server/values.h"

namespace {

using quillon::platform::CodePage;
using quillon::server::RequestBody;
using quillon::server::RequestText;
using quillon::server::ServerValues;

struct Seen {
  std::vector<std::string> names;
  std::vector<std::string> bytes;
  std::vector<std::string> data_names;
  std::vector<std::string> file_names;
  std::vector<std::string> content_types;
  std::string request_data;
  bool operator==(const Seen&) const = default;
};

Seen Parse(const RequestText& request, RequestBody* body, const CodePage& cp, size_t threshold) {
  ServerValues values(cp);
  quillon::server::ParseRequest(request, body, &values, threshold);
  Seen seen;
  seen.names = values.store().IncomingNames();
  for (size_t i = 0; i < seen.names.size(); ++i) seen.bytes.push_back(values.BytesAt(i));
  seen.data_names = values.store().DataNames();
  const quillon::core::UploadInfo& uploads = values.store().uploads();
  for (size_t i = 0; i < uploads.size(); ++i) {
    seen.file_names.emplace_back(uploads.file_name(i));
    seen.content_types.emplace_back(uploads.content_type(i));
  }
  seen.request_data = values.RequestDataText();
  if (values.store().IncomingValues().size() != seen.names.size()) std::abort();
  return seen;
}

std::string_view Line(std::string_view* rest) {
  const size_t end = rest->find('\n');
  const std::string_view line = rest->substr(0, end);
  rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string content_type(Line(&rest));
  if (flags & 4) content_type = "multipart/form-data; boundary=" + content_type;
  const std::string query(Line(&rest));
  const CodePage& cp = CodePage::Get((flags & 2) ? CodePage::kJapanese : CodePage::kUtf8);

  // An exact-size copy: ASan reports any read past the body.
  std::optional<RequestBody> body;
  if (flags & 1) body = quillon::server::CopyBody(rest);
  const RequestText request{content_type, query, std::nullopt, std::nullopt};  // no limits
  RequestBody* body_ptr = body ? &*body : nullptr;

  const Seen raw = Parse(request, body_ptr, cp, 0);
  const Seen encoded = Parse(request, body_ptr, cp, std::numeric_limits<size_t>::max());
  if (!(raw == encoded)) std::abort();
  return 0;
}
