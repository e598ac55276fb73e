// Numbered failures and how they leave a component.
//
// Inside the toolkit a failure is a quillon::Error carrying a message number
// and, when the raising code composes its message, the text appended to the
// table's message. At the automation boundary one function per convention
// turns it into the result code and error information a host sees:
//
//   server objects: 0x80040000 + number (bare message) or 0x80020009
//     (composed message), description = message, source = the object's
//     versioned ProgID, GUID = the method's interface, no help context.
//   client control: 0x800A0000 + number, description = message, source =
//     the library's application name, help context 0x60000 + number for a
//     bare message and 0 for a composed one.
//
// A ForeignError (a database engine's failure) keeps its own code and text;
// a ForwardedError (another object's failure) keeps its code and error
// information whole.
// std::bad_alloc becomes E_OUTOFMEMORY in both conventions.
//
// Language: descriptions are the string tables' Japanese texts, byte for
// byte, unless the environment variable QUILLON_MESSAGES is exactly "en"
// (the development server sets it). Then every number has an English text
// and a failure adds what the failing call knew (a file path, an index, a
// parameter name) after it. The language never changes a code, a help
// context, or whether a message counts as composed.
//
// Every error object the runtime records carries the message number of a
// numbered failure (IErrorMessageNumber), and Invoke hands it on in the
// EXCEPINFO's wReserved, so a host can tell the number of a composed
// message (0x80020009) too.
#ifndef QUILLON_COMPONENT_ERRORS_H_
#define QUILLON_COMPONENT_ERRORS_H_

#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <string>
#include <string_view>

#include "quillon/component/runtime.h"
#include "quillon/component/types.h"

namespace quillon {

// Message numbers of the toolkit's string tables.
enum Message : int {
  kMsgBadBinaryData = 10001,
  kMsgFileRead = 10002,
  kMsgFileWrite = 10003,
  kMsgBadIndex = 10004,
  kMsgNoParameter = 10005,
  kMsgMultipartOnly = 10006,
  kMsgBadOutputObject = 10011,
  kMsgBadCopyTarget = 10012,
  kMsgNoTagAtPosition = 10013,
  kMsgUnclosedInnerTag = 10021,
  kMsgUnopenedEndTag = 10022,
  kMsgNestedSameTag = 10023,
  kMsgServerError = 10031,
  kMsgNoClientData = 10032,
  kMsgConnectFailed = 10033,
  kMsgReadFailed = 10034,
  kMsgUnexpected = 10035,
};

enum class MessageLanguage { kJapanese, kEnglish };

// kEnglish when QUILLON_MESSAGES is "en", else kJapanese; read at each call.
QUILLON_RUNTIME_API MessageLanguage CurrentMessageLanguage();

// The table's text for `number` as UTF-8 / UTF-16; empty when the table has
// none. Exact bytes of the string tables, line breaks included. Without a
// language: the Japanese table, whatever the setting.
QUILLON_RUNTIME_API std::string_view MessageText(int number);
QUILLON_RUNTIME_API std::string_view MessageText(int number, MessageLanguage language);
QUILLON_RUNTIME_API std::u16string MessageText16(int number);
// What a failure with `number` describes itself as: the table's text in the
// current (or the given) language, or "Unknown Error" for a number without
// one.
QUILLON_RUNTIME_API std::u16string MessageOrUnknown(int number);
QUILLON_RUNTIME_API std::u16string MessageOrUnknown(int number, MessageLanguage language);

// The toolkit's one exception type.
class QUILLON_RUNTIME_API Error : public std::exception {
 public:
  explicit Error(int number) : number_(number) {}
  // A composed message: the table's text with `appended` after it.
  Error(int number, std::u16string appended)
      : number_(number), appended_(std::move(appended)), composed_(true) {}

  int number() const { return number_; }
  bool composed() const { return composed_; }
  const std::u16string& appended() const { return appended_; }

  // What the failing call knew, for English descriptions only; each adds
  // "Label: value" after the text (a bare 10005 takes the name straight
  // after its own "Parameter name: "). Nothing else about the failure
  // changes. Paths and names are the caller's text as given.
  Error& WithFile(std::u16string_view path) &;
  Error& WithIndex(int64_t index) &;
  Error& WithIdentifier(std::u16string_view identifier) &;
  Error& WithParameter(std::u16string_view name) &;
  // Any other "Label: value".
  Error& With(std::u16string_view label, std::u16string_view value) &;
  // Free text, appended as it stands (it brings its own leading blank).
  Error& WithDetail(std::u16string_view text) &;
  // A composed message whose Japanese text runs straight into its value
  // (10004 with an identifier): in English the value follows as
  // "Label: value" instead, the Japanese description staying as it was.
  Error& AppendedAs(std::u16string_view label) &;
  Error&& WithFile(std::u16string_view path) && { return std::move(WithFile(path)); }
  Error&& WithIndex(int64_t index) && { return std::move(WithIndex(index)); }
  Error&& WithIdentifier(std::u16string_view identifier) && {
    return std::move(WithIdentifier(identifier));
  }
  Error&& WithParameter(std::u16string_view name) && { return std::move(WithParameter(name)); }
  Error&& With(std::u16string_view label, std::u16string_view value) && {
    return std::move(With(label, value));
  }
  Error&& WithDetail(std::u16string_view text) && { return std::move(WithDetail(text)); }
  Error&& AppendedAs(std::u16string_view label) && { return std::move(AppendedAs(label)); }
  // The English-only part: empty, or the text WithFile and its siblings
  // built.
  const std::u16string& context() const { return context_; }

  // The whole description a host will see, in the current (or the given)
  // language.
  std::u16string Description() const;
  std::u16string Description(MessageLanguage language) const;
  // "<number>: <description>" in UTF-8, in the language current at the
  // first call.
  const char* what() const noexcept override;

 private:
  int number_;
  std::u16string appended_;
  bool composed_ = false;
  std::u16string context_;
  std::u16string appended_label_;
  mutable std::string what_;
};

// A failure described by another system (a database engine): its own code
// and text rather than a message number. Server objects report it as
// 0x80020009 with the text; the client control as 0x800A0000 | code.
class ForeignError : public std::exception {
 public:
  virtual int32_t code() const = 0;
  virtual std::u16string Text() const = 0;
  // The message number when Text() is one of the toolkit's messages, 0 when
  // it is the other system's own text.
  virtual int TextNumber() const { return 0; }
};

// A failure that another automation object reported: its result code and
// error information, passed to the caller unchanged whatever the
// convention of the object that passes it on (the client control's
// offline exchange hands on what the monitor reported this way).
class ForwardedError : public std::exception {
 public:
  ForwardedError(int32_t code, std::u16string description, std::u16string source,
                 uint32_t help_context)
      : code_(code),
        description_(std::move(description)),
        source_(std::move(source)),
        help_context_(help_context) {}

  int32_t code() const { return code_; }
  const std::u16string& description() const { return description_; }
  const std::u16string& source() const { return source_; }
  uint32_t help_context() const { return help_context_; }
  const char* what() const noexcept override { return "a failure another object reported"; }

 private:
  int32_t code_;
  std::u16string description_;
  std::u16string source_;
  uint32_t help_context_;
};

namespace com {

// The toolkit's message number on an error object. Every error object the
// runtime makes answers to it (those of CreateErrorInfo start at 0).
inline constexpr IID IID_IErrorMessageNumber = Guid("{BABAA0BC-41B9-403A-8EE9-BE00312C692A}");
struct IErrorMessageNumber : IUnknown {
  virtual HRESULT GetMessageNumber(int32_t* number) = 0;
  virtual HRESULT SetMessageNumber(int32_t number) = 0;

 protected:
  ~IErrorMessageNumber() = default;
};

// The number `info` carries; 0 for a null object, one that does not know
// the interface, or a failure without a number.
QUILLON_RUNTIME_API int32_t MessageNumberOf(IErrorInfo* info);

// Where a server-side failure came from, for its error information.
struct ErrorSource {
  std::u16string_view progid;  // the object's versioned ProgID
  const IID* iid;              // the interface whose method failed
};

// Records error information for a server object and returns the code.
QUILLON_RUNTIME_API HRESULT ServerError(const ErrorSource& source, const Error& error);

// Records error information in the client control's convention and
// returns the code.
QUILLON_RUNTIME_API HRESULT ClientError(std::u16string_view app_name, const Error& error);
// Records error information with an explicit code and description (used for
// composed texts such as recordset failures on the server: 0x80020009);
// `number`: the message number the description comes from, 0 for none.
QUILLON_RUNTIME_API HRESULT ReportError(HRESULT code, std::u16string_view description,
                                        std::u16string_view source, const IID* iid,
                                        DWORD help_context, int32_t number = 0);

// The convention of a class: how an exception escaping one of its methods
// becomes a result code with error information.
class ErrorConvention {
 public:
  virtual ~ErrorConvention() = default;
  virtual HRESULT FromError(const Error& error) const = 0;
  virtual HRESULT FromForeign(const ForeignError& error) const = 0;
  // An argument the plain code refused (std::invalid_argument): E_INVALIDARG
  // with its explanation as the description.
  virtual HRESULT FromInvalidArgument(const std::invalid_argument& error) const = 0;
  // Exhausted memory.
  virtual HRESULT OutOfMemory() const { return E_OUTOFMEMORY; }
};

class QUILLON_RUNTIME_API ServerConvention final : public ErrorConvention {
 public:
  explicit ServerConvention(ErrorSource source) : source_(source) {}
  HRESULT FromError(const Error& error) const override { return ServerError(source_, error); }
  HRESULT FromForeign(const ForeignError& error) const override {
    return ReportError(DISP_E_EXCEPTION, error.Text(), source_.progid, source_.iid, 0,
                       error.TextNumber());
  }
  HRESULT FromInvalidArgument(const std::invalid_argument& error) const override {
    return ReportError(E_INVALIDARG, Utf8ToUtf16(error.what()), source_.progid, source_.iid, 0);
  }

 private:
  ErrorSource source_;
};

class QUILLON_RUNTIME_API ClientConvention final : public ErrorConvention {
 public:
  explicit ClientConvention(std::u16string_view app_name) : app_name_(app_name) {}
  HRESULT FromError(const Error& error) const override { return ClientError(app_name_, error); }
  HRESULT FromForeign(const ForeignError& error) const override {
    return ReportError(MakeHresult(0x800A0000u | static_cast<uint32_t>(error.code())), error.Text(),
                       app_name_, nullptr, 0, error.TextNumber());
  }
  HRESULT FromInvalidArgument(const std::invalid_argument& error) const override {
    return ReportError(E_INVALIDARG, Utf8ToUtf16(error.what()), app_name_, nullptr, 0);
  }

 private:
  std::u16string_view app_name_;
};

// Runs `body` (returning HRESULT or void) and turns whatever escapes it into
// the convention's result; the only place a method's exceptions are caught.
template <class F>
HRESULT Guarded(const ErrorConvention& convention, F&& body) noexcept {
  try {
    if constexpr (std::is_void_v<decltype(body())>) {
      body();
      return S_OK;
    } else {
      return body();
    }
  } catch (const Error& e) {
    try {
      return convention.FromError(e);
    } catch (...) {
      return convention.OutOfMemory();
    }
  } catch (const ForeignError& e) {
    try {
      return convention.FromForeign(e);
    } catch (...) {
      return convention.OutOfMemory();
    }
  } catch (const ForwardedError& e) {
    return ReportError(e.code(), e.description(), e.source(), nullptr, e.help_context());
  } catch (const std::invalid_argument& e) {
    try {
      return convention.FromInvalidArgument(e);
    } catch (...) {
      return convention.OutOfMemory();
    }
  } catch (const std::bad_alloc&) {
    return convention.OutOfMemory();
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace com
}  // namespace quillon

#endif  // QUILLON_COMPONENT_ERRORS_H_
