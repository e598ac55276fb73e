// QServer for C++ programs: one object serves one CGI request. It reads the
// request (environment, query string, URL-encoded or multipart body,
// cookies) into named values, collects the response (content type, header
// lines, cookies, expiry, a text or binary body, or the session text a
// client control expects) and writes it to standard output when it ends.
//
//   int main() {
//     auto server = quillon::server::QServer::StartCgi();
//     server->WriteString("Hello, " + server->GetStringData("name", 0));
//   }  // the response is written here
//
// This is the same implementation that hosts reach through the automation
// class "QServer.QServer"; only the parameter types differ. Texts are bytes
// in the process code page (quillon::platform::ProcessCodePage()), byte
// strings may hold zero bytes.
//
// Errors: every numbered failure throws quillon::Error (message numbers in
// quillon/component/errors.h), exhausted memory throws std::bad_alloc, and
// header text that would break the header block throws InvalidHeaderText
// (a std::invalid_argument). A failing call leaves the object as it was.
//
// Threading: none. An object is used on the thread that created it.
#ifndef QUILLON_SERVER_QSERVER_H_
#define QUILLON_SERVER_QSERVER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/component/errors.h"
#include "quillon/component/interfaces.h"
#include "quillon/component/types.h"
#include "quillon/server/cgi_io.h"
#include "quillon/server/invalid_header.h"

namespace quillon::server {

// A live start refused the request: its body, its pairs or its multipart
// parts are more than the process allows (QUILLON_MAX_REQUEST_BYTES,
// QUILLON_MAX_REQUEST_PAIRS, QUILLON_MAX_REQUEST_PARTS). The start has
// answered "Status: 413".
class QUILLON_EXPORT RequestTooLarge : public std::length_error {
 public:
  using std::length_error::length_error;
};

class QUILLON_EXPORT QServer {
 public:
  // What DebugExit hands back to the monitor.
  struct DebugResponse {
    // "Content-Type: ...\r\n", every header line with "\r\n", then
    // "Connection: close\r\n" (no empty line after it).
    std::string header;
    // True when `body` is the binary body, false for text.
    bool binary = false;
    std::string body;
  };

  // An object that has read nothing: it reads no request until a start is
  // made, and when it ends it writes its response like a live one.
  explicit QServer(std::shared_ptr<CgiIo> io = nullptr);
  // Ends the object: Finish().
  ~QServer();
  QServer(const QServer&) = delete;
  QServer& operator=(const QServer&) = delete;

  // The live start in one line: a new object that has read the request
  // (ReadRequest) and writes its response when it is destroyed. Throws
  // std::bad_alloc when the request does not fit in memory, after
  // answering "Status: 500" (see ReadRequest).
  static std::unique_ptr<QServer> StartCgi(std::shared_ptr<CgiIo> io = nullptr);

  // --- Starts --------------------------------------------------------------
  // A host that restores saved properties sets ContentType and Result this
  // way; unlike set_result() it does not refresh the encoded result.
  void LoadSavedProperties(std::string content_type, std::string result);
  // The live start: reads CONTENT_LENGTH bytes of standard input (the bytes
  // that arrive, when fewer do), parses the query string and the body into
  // the incoming list and collects the session variables from the cookies.
  // The first start of an object decides: a later ReadRequest or
  // StartOffLineDebug does nothing. Throws std::bad_alloc
  // when the body does not fit in memory; the lists are then unchanged, the
  // object has already written a "Status: 500" header block (so that what
  // the page prints next is that answer's body) and writes nothing more.
  // With QUILLON_MAX_REQUEST_BYTES set in the process environment (a
  // decimal byte count; unset, or not such a number, means no limit), a
  // CONTENT_LENGTH above it is not read at all: the start throws
  // RequestTooLarge after writing a "Status: 413" header block, as above.
  // QUILLON_MAX_REQUEST_PAIRS (pairs of the query string and a URL-encoded
  // body together; for a multipart form, of the query string) and
  // QUILLON_MAX_REQUEST_PARTS (parts of a multipart body) refuse a request
  // the same way, after the body is read but before anything is stored.
  // With QUILLON_SESSION_KEY set, a session cookie whose tag is missing or
  // wrong is skipped (see SessionVariable).
  void ReadRequest();
  // The offline-debug start: reads nothing; the request comes from
  // DebugInit and the response goes out through DebugExit only.
  void StartOffLineDebug();
  bool OffLineDebug() const;

  // --- Properties ------------------------------------------------------------
  // "text/html" until set.
  const std::string& ContentType() const;
  void SetContentType(std::string content_type);
  const std::string& Result() const;
  // Stores the text; EncodedResult follows it.
  void SetResult(std::string_view result);
  // The encoded Result the session text carries.
  const std::string& EncodedResult() const;

  // The handle by which other objects of the library reach this one
  // (FromHandle); unique among the live objects of the process, never 0.
  int32_t InternalPointer() const;
  // The live object with that handle, or nullptr.
  static QServer* FromHandle(int32_t handle);

  // --- Named values ------------------------------------------------------------
  void SetStringData(std::string_view name, std::string_view value);
  void SetBinaryData(std::string_view name, std::string_view bytes);
  // 10002 when the file cannot be read.
  void SetFileData(std::string_view name, const std::string& path);
  void ResetContents();
  int32_t GetDataNameCount() const;
  // 10004 for an index out of range.
  std::string GetDataName(int32_t index) const;
  int32_t GetSubIndexCount(std::string_view name) const;
  // The first value of a request field (query string or body, names
  // matched as GetStringData matches them), or nullopt when the request
  // has none: a form value with a default, without an exception.
  std::optional<std::string> FormValue(std::string_view name) const;
  // Every value of the field in the order they came (a multiple select,
  // repeated check boxes); empty when there is none.
  std::vector<std::string> FormValues(std::string_view name) const;
  // The Get...Data family fails with 10005 (the name appended) when there
  // is no such entry. Text stops at the first zero byte.
  std::string GetStringData(std::string_view name, int32_t sub_index) const;
  std::string GetBinaryData(std::string_view name, int32_t sub_index) const;
  // 10003 when the file cannot be created or written.
  void GetFileData(std::string_view name, int32_t sub_index, const std::string& path) const;

  // --- Recordsets ----------------------------------------------------------------
  // A whole recordset as one string value. `database_type` is a
  // qlDatabaseTypeConstants value (quillon/recordset/recordset.h; any other
  // value selects ADO). The database is named (a file for DAO, a connection
  // string for ADO) or is an object the script opened, which is used and
  // never closed. Failures of the recordset layer throw
  // recordset::RecordsetException (its Text() is what a script is told);
  // a missing value throws 10005 as GetStringData does.
  //
  // Appends the text of every row of `recordset_name` under `name`.
  void SetRecordsetData(std::string_view name, int16_t database_type,
                        std::string_view database_name, std::string_view recordset_name);
  void SetDataFromRecordset(std::string_view name, int16_t database_type,
                            com::IDispatch* database, std::string_view recordset_name);
  // Appends the rows of the value's text to `recordset_name`; rows appended
  // before a failing one stay.
  void GetRecordsetData(std::string_view name, int32_t sub_index, int16_t database_type,
                        std::string_view database_name, std::string_view recordset_name);
  void GetDataIntoRecordset(std::string_view name, int32_t sub_index, int16_t database_type,
                            com::IDispatch* database, std::string_view recordset_name);

  // --- Request -------------------------------------------------------------------
  // The process environment first (the name upper-cased), then the
  // captured environment of DebugInit; "" when neither has it.
  std::string GetServerVariable(std::string_view name) const;
  // The browser's file name / declared content type of an uploaded part;
  // "" for a field that carried no file. For a request that was not a
  // multipart form, the client control's companion entries. 10005 when
  // there is no such entry, 10006 when there is no upload information.
  std::string GetULFileName(std::string_view name, int32_t sub_index) const;
  std::string GetULContentType(std::string_view name, int32_t sub_index) const;
  // Copies `from` to a new owner-only file in the temporary directory and
  // returns its path; an empty `from` only picks a fresh name and creates
  // nothing, but the first GetFileData or SaveRequestData to that name
  // creates it exclusively (0600, no symbolic link followed) and fails with
  // 10003 if something took the name meanwhile. The file is deleted when
  // the object ends, whatever happened to the response. 10002 when the
  // source cannot be read, 10003 when the copy cannot be created or written.
  std::string CreateTempCopy(const std::string& from);
  // A cookie set in this response first, else the request's; URL-decoded.
  std::string GetCookie(std::string_view name) const;

  // --- Response -------------------------------------------------------------------
  void WriteString(std::string_view text);
  // The same as WriteString, for the library's own objects.
  void AppendBodyText(std::string_view text);
  void WriteCRLF();
  // The text body as the string it is kept in, for the library's own page
  // writer to append to in place: each line end goes in as CR LF, except
  // that a first one adds nothing while `*no_text_yet` (set here) holds, as
  // WriteCRLF then would. After appending, TextBodyAppended says whether
  // anything (a line end included) was written.
  std::string* TextBodyForAppend(bool* no_text_yet);
  void TextBodyAppended(bool touched);
  // Replaces the binary body (which then wins over the text body).
  void WriteBinary(std::string bytes);
  // 10002 when the file cannot be read; the old binary body then stays.
  void WriteFromFile(const std::string& path);
  // One or more header lines: each line end (CR LF, or a lone CR or LF)
  // must be followed by another header field ("Name:"); anything else
  // would end the header block or inject text, and throws
  // InvalidHeaderText. The same rule holds for SetContentType.
  void AddHeader(std::string_view header);
  // One header field, "name: value", for text that may come from a
  // visitor: the name must be a token, the value may hold no CR, LF or NUL,
  // so that the text can never become a second header line (unlike
  // AddHeader, which takes several lines by contract). Throws
  // InvalidHeaderText and changes nothing otherwise.
  void AddHeaderField(std::string_view name, std::string_view value);
  // Sends the visitor to `location`: the header lines "Status: 302 Found"
  // (or the text of `status`: 301, 302, 303, 307 or 308) and "Location: "
  // with `location`. A location holding CR, LF or NUL throws
  // InvalidHeaderText, another status std::invalid_argument; nothing
  // changes then. The body is what the page writes, as always.
  void Redirect(std::string_view location, int status = 302);
  // `expires`: a date (days since 30 Dec 1899, local time, converted with
  // the zone's offset at that date) or none. A name with CR or LF throws
  // InvalidHeaderText.
  void SetCookie(std::string_view name, std::string_view value,
                 std::optional<com::DATE> expires = std::nullopt);
  // "Expires: " with `date` in GMT; SetExpiresNow() with the current time.
  void SetExpires(com::DATE date);
  void SetExpiresNow();
  // Read ignores case; write replaces an entry with exactly the same name
  // (a name with CR or LF throws InvalidHeaderText). Variables read from
  // the visitor's cookies go back only when their cookie names are tokens.
  // With QUILLON_SESSION_KEY in the process environment the cookies are
  // signed: the value is the encoded value, ".", and base64url (no
  // padding) of HMAC-SHA-256 under the key over "cookie-name=encoded
  // value"; a cookie read without the right tag is not a session variable
  // at all. A tag made with QUILLON_SESSION_KEY_OLD is accepted too, and
  // the variable goes back tagged with the current key. Without a key the
  // cookies are plain, exactly as before signing existed.
  std::string SessionVariable(std::string_view name) const;
  void SetSessionVariable(std::string_view name, std::string_view value);
  std::string URLEncode(std::string_view text) const;
  std::string URLDecode(std::string_view text) const;

  // --- Debug capture ------------------------------------------------------------
  // Offline-debug only (otherwise nothing happens): takes the captured
  // environment ("NAME=VALUE\r\n" lines) and body (nullopt: no body).
  void DebugInit(std::string_view environment, std::optional<std::string_view> body);
  DebugResponse DebugExit() const;
  // 10003 when the file cannot be created or written.
  void SaveRequestData(const std::string& path) const;

  // Writes the response now (unless offline-debug) and deletes the
  // temporary files; the destructor does it for an object that has not
  // finished. Later calls do nothing.
  void Finish();

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillon::server

#endif  // QUILLON_SERVER_QSERVER_H_
