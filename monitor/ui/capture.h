// The monitor's captures: a request (environment line and parameter text)
// and a response (header text and a body), with the byte-exact forms of
// their capture files and the edits the editors make on them. Plain C++;
// the dialogs in editors.h only drive these functions.
//
// All text is bytes in the process code page, as everywhere in the toolkit.
#ifndef QUILLON_MONITOR_UI_CAPTURE_H_
#define QUILLON_MONITOR_UI_CAPTURE_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::monitor {

// The kind that marks a session answer (parameter text). Compared exactly:
// ".res" is some other kind.
inline constexpr std::string_view kSessionKind = ".RES";
// What a server page writes in front of its session answer.
inline constexpr std::string_view kSessionMarker = "QServerParams:";
// The entry that carries the server's result in a session answer.
inline constexpr std::string_view kResultEntry = "QServerResult=";

struct RequestCapture {
  std::string EnvironmentLine;
  std::string ParameterText;
  std::string FileTitle;  // name of the file last loaded, without directory
};

// Splits request text (the form of a ".REQ" file) at its first CR or LF:
// EnvironmentLine is what comes before it, ParameterText what follows the
// whole run of CR and LF characters there. Text without a line end is all
// EnvironmentLine. FileTitle is left empty.
RequestCapture SplitRequestText(std::string_view text);

// EnvironmentLine, "\r\n", ParameterText: the ".REQ" file, byte for byte,
// and what EditRequestData answers.
std::string RequestFileBytes(const RequestCapture& capture);

// Takes over a ".REQ" file's text as "load (new)" does: both parts replaced.
void LoadRequestText(std::string_view file_text, RequestCapture* capture);
// ... and as "load (append)" does: the environment line is replaced, the
// file's parameters are appended after an "&" (added even to an empty
// text: the pair splitter skips it).
void AppendRequestText(std::string_view file_text, RequestCapture* capture);

// A response body as the automation variant carried it.
struct ResponseBody {
  enum class Type { kEmpty, kString, kBytes };
  Type type = Type::kEmpty;
  std::string data;  // string bytes (code page) or the array's bytes

  static ResponseBody Empty() { return {}; }
  static ResponseBody String(std::string text) { return {Type::kString, std::move(text)}; }
  static ResponseBody Bytes(std::string bytes) { return {Type::kBytes, std::move(bytes)}; }
  bool is_string() const { return type == Type::kString; }
  friend bool operator==(const ResponseBody&, const ResponseBody&) = default;
};

struct ResponseCapture {
  std::string HeaderText;
  ResponseBody Body;
  std::string Kind;             // ".RES", ".HTML", ".DAT" or a subtype such as "gif"
  std::string DefaultFileName;  // name of the file last loaded, without directory
};

// The bytes of a response capture file (and of the browser preview): a
// string body up to its first zero byte, a byte array whole, nothing for
// an empty body.
std::string ResponseFileBytes(const ResponseBody& body);

// The body as the parameter editor sees it: a string body without a
// leading session marker (removed only at the very start); "" for any
// other body.
std::string ParameterTextOfBody(const ResponseBody& body);

// The body after "CGIパラメータの編集": the list editor's text as a string
// body when it was confirmed (`edited`); when it was cancelled, a string
// body becomes the text the editor was opened on (without its session
// marker) and any other body stays as it was (a byte body is not lost to
// a cancelled edit).
ResponseBody BodyAfterParameterEdit(const ResponseBody& body,
                                    const std::optional<std::string>& edited);

// The body text after "load (append)" of `file_text`: the current string
// body (empty for any other body) cut just before its first result entry,
// with one trailing "&" then dropped, then "&" and the file's text. The
// old result entry goes because the appended answer brings its own.
std::string AppendResponseText(const ResponseBody& body, std::string_view file_text);

// What EditResponseData answers for the capture as the editor left it: the
// string body when Kind is exactly ".RES", else "".
std::string ResponseResult(const ResponseCapture& capture);

// File content read "as text": up to its first zero byte.
std::string_view TextOfFile(std::string_view bytes);

// The file name without its directory.
std::string FileTitleOf(std::string_view path);

// The monitor's value decoding: "+" gives a blank, "%" and the two
// characters after it one byte with the digit arithmetic of DecodeValue,
// any other byte is copied. Unlike DecodeValue the whole text is always
// decoded (no exception for multibyte lead bytes), and a "%" without two
// characters after it is copied as it stands. Zero bytes stay in.
std::string DecodeMonitorValue(std::string_view text);

// The editing form of a parameter text: parallel names and encoded values
// in text order, with the list box's selection rules. Indices outside the
// list are ignored (the editor passes -1 for "no selection").
class ParameterList {
 public:
  ParameterList() = default;
  // Split with the toolkit's pair splitter; names keep their case.
  explicit ParameterList(std::string_view text);

  size_t size() const { return names_.size(); }
  const std::vector<std::string>& names() const { return names_; }
  const std::vector<std::string>& encoded_values() const { return values_; }
  // The value of entry `index` decoded for display.
  std::string DecodedValue(size_t index) const;

  // Appends `name` with `value` encoded and returns its index; an empty
  // name adds nothing and gives -1.
  int Add(std::string name, std::string_view value);
  // Replaces entry `index` (value encoded again); false without one.
  bool Edit(int index, std::string name, std::string_view value);
  // Removes entry `index` and returns the selection that follows: the same
  // position, or the new last entry when the last one went (-1 when the
  // list is empty or nothing was removed).
  int Remove(int index);
  // Swaps entry `index` with its neighbour and returns the moved entry's
  // new index; at the first / last position nothing moves.
  int MoveUp(int index);
  int MoveDown(int index);

  // name=value joined with "&", none at the end; "" for an empty list.
  std::string Text() const;

 private:
  bool Valid(int index) const { return index >= 0 && static_cast<size_t>(index) < size(); }

  std::vector<std::string> names_;
  std::vector<std::string> values_;
};

}  // namespace quillon::monitor

#endif  // QUILLON_MONITOR_UI_CAPTURE_H_
