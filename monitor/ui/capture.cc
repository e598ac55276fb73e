#include "monitor/ui/capture.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include "quillon/core/encoding.h"
#include "quillon/core/pairs.h"

namespace quillon::monitor {

RequestCapture SplitRequestText(std::string_view text) {
  RequestCapture capture;
  const size_t end = text.find_first_of("\r\n");
  if (end == std::string_view::npos) {
    capture.EnvironmentLine.assign(text);
    return capture;
  }
  capture.EnvironmentLine.assign(text.substr(0, end));
  // Editors and tools save the first line with LF or CR LF and sometimes
  // leave blank lines behind it; none of that belongs to the parameters.
  const size_t rest = text.find_first_not_of("\r\n", end);
  if (rest != std::string_view::npos) capture.ParameterText.assign(text.substr(rest));
  return capture;
}

std::string RequestFileBytes(const RequestCapture& capture) {
  std::string bytes;
  bytes.reserve(capture.EnvironmentLine.size() + 2 + capture.ParameterText.size());
  bytes.append(capture.EnvironmentLine).append("\r\n").append(capture.ParameterText);
  return bytes;
}

void LoadRequestText(std::string_view file_text, RequestCapture* capture) {
  RequestCapture loaded = SplitRequestText(file_text);
  capture->EnvironmentLine = std::move(loaded.EnvironmentLine);
  capture->ParameterText = std::move(loaded.ParameterText);
}

void AppendRequestText(std::string_view file_text, RequestCapture* capture) {
  RequestCapture loaded = SplitRequestText(file_text);
  std::string parameters = capture->ParameterText;
  parameters.append("&").append(loaded.ParameterText);
  capture->EnvironmentLine = std::move(loaded.EnvironmentLine);
  capture->ParameterText = std::move(parameters);
}

std::string ResponseFileBytes(const ResponseBody& body) {
  switch (body.type) {
    case ResponseBody::Type::kString:
      return std::string(TextOfFile(body.data));
    case ResponseBody::Type::kBytes:
      return body.data;
    case ResponseBody::Type::kEmpty:
      break;
  }
  return {};
}

std::string ParameterTextOfBody(const ResponseBody& body) {
  if (!body.is_string()) return {};
  std::string_view text = body.data;
  if (text.starts_with(kSessionMarker)) text.remove_prefix(kSessionMarker.size());
  return std::string(text);
}

ResponseBody BodyAfterParameterEdit(const ResponseBody& body,
                                    const std::optional<std::string>& edited) {
  if (edited) return ResponseBody::String(*edited);
  if (body.is_string()) return ResponseBody::String(ParameterTextOfBody(body));
  return body;
}

std::string AppendResponseText(const ResponseBody& body, std::string_view file_text) {
  std::string text = body.is_string() ? body.data : std::string();
  const size_t result = text.find(kResultEntry);
  if (result != std::string::npos) {
    text.resize(result);
    if (!text.empty() && text.back() == '&') text.pop_back();
  }
  text.append("&").append(file_text);
  return text;
}

std::string ResponseResult(const ResponseCapture& capture) {
  if (capture.Kind != kSessionKind || !capture.Body.is_string()) return {};
  return capture.Body.data;
}

std::string_view TextOfFile(std::string_view bytes) {
  if (const void* zero = std::memchr(bytes.data(), 0, bytes.size())) {
    bytes = bytes.substr(0, static_cast<size_t>(static_cast<const char*>(zero) - bytes.data()));
  }
  return bytes;
}

std::string FileTitleOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

namespace {

// The digit arithmetic of DecodeValue: not a hex check, and it must not be
// one, so that the monitor shows what the peers would decode.
int DigitOf(uint8_t c) { return c < 'A' ? c - '0' : (c & ~0x20) - 55; }

}  // namespace

std::string DecodeMonitorValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%' && text.size() - i > 2) {
      const int byte = 16 * DigitOf(static_cast<uint8_t>(text[i + 1])) +
                       DigitOf(static_cast<uint8_t>(text[i + 2]));
      out.push_back(static_cast<char>(static_cast<uint8_t>(byte & 0xFF)));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

ParameterList::ParameterList(std::string_view text) { core::SplitPairs(text, &names_, &values_); }

std::string ParameterList::DecodedValue(size_t index) const {
  return index < size() ? DecodeMonitorValue(values_[index]) : std::string();
}

int ParameterList::Add(std::string name, std::string_view value) {
  if (name.empty()) return -1;
  std::string encoded = core::EncodeValue(value);
  names_.reserve(names_.size() + 1);
  values_.reserve(values_.size() + 1);
  names_.push_back(std::move(name));
  values_.push_back(std::move(encoded));
  return static_cast<int>(size()) - 1;
}

bool ParameterList::Edit(int index, std::string name, std::string_view value) {
  if (!Valid(index)) return false;
  std::string encoded = core::EncodeValue(value);
  names_[static_cast<size_t>(index)] = std::move(name);
  values_[static_cast<size_t>(index)] = std::move(encoded);
  return true;
}

int ParameterList::Remove(int index) {
  if (!Valid(index)) return -1;
  names_.erase(names_.begin() + index);
  values_.erase(values_.begin() + index);
  if (names_.empty()) return -1;
  return static_cast<size_t>(index) < size() ? index : static_cast<int>(size()) - 1;
}

int ParameterList::MoveUp(int index) {
  if (!Valid(index)) return -1;
  if (index == 0) return index;
  std::swap(names_[index], names_[index - 1]);
  std::swap(values_[index], values_[index - 1]);
  return index - 1;
}

int ParameterList::MoveDown(int index) {
  if (!Valid(index)) return -1;
  if (static_cast<size_t>(index) + 1 == size()) return index;
  std::swap(names_[index], names_[index + 1]);
  std::swap(values_[index], values_[index + 1]);
  return index + 1;
}

std::string ParameterList::Text() const {
  std::string text;
  core::JoinPairs(names_, values_, &text);
  return text;
}

}  // namespace quillon::monitor
