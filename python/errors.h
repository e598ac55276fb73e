// How failures leave the module: every failed automation call becomes a
// quillon.Error (or one of its subclasses) carrying the result code and the
// error information the object gave.
#ifndef QUILLON_PYTHON_ERRORS_H_
#define QUILLON_PYTHON_ERRORS_H_

#include <pybind11/pybind11.h>

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "quillon/component/types.h"

namespace quillon::python {

namespace com = quillon::com;

// Result code for calls on an object whose reference was already given up:
// the platform's "object disconnected from its clients".
inline constexpr com::HRESULT RPC_E_DISCONNECTED = com::MakeHresult(0x80010108);

// The C++ side of quillon.Error. Thrown anywhere in the module and turned
// into the Python exception by the translator RegisterErrors installs.
class HostError : public std::exception {
 public:
  // Which Python class the error becomes.
  enum class Kind {
    kError,        // quillon.Error
    kUnknownName,  // quillon.UnknownNameError (also an AttributeError)
    kReleased,     // quillon.ReleasedError (also a ValueError)
  };

  // `number`: the toolkit's message number the error information carried;
  // 0 lets the code and help context tell it (a bare message), when they
  // can.
  HostError(com::HRESULT hresult, std::u16string description, std::u16string source = {},
            uint32_t help_context = 0, std::u16string help_file = {}, Kind kind = Kind::kError,
            int32_t number = 0)
      : hresult_(static_cast<uint32_t>(hresult)),
        description_(std::move(description)),
        source_(std::move(source)),
        help_file_(std::move(help_file)),
        help_context_(help_context),
        kind_(kind),
        number_(number != 0 ? number : DerivedNumber(hresult_, help_context)) {}

  uint32_t hresult() const { return hresult_; }
  const std::u16string& description() const { return description_; }
  const std::u16string& source() const { return source_; }
  const std::u16string& help_file() const { return help_file_; }
  uint32_t help_context() const { return help_context_; }
  Kind kind() const { return kind_; }
  // The message number; 0 when the failure is not a toolkit message.
  int32_t number() const { return number_; }
  const char* what() const noexcept override { return "quillon.Error"; }

  // The number a bare toolkit message's code (and help context) shows; 0
  // for any other failure.
  static int32_t DerivedNumber(uint32_t hresult, uint32_t help_context);

 private:
  uint32_t hresult_;
  std::u16string description_;
  std::u16string source_;
  std::u16string help_file_;
  uint32_t help_context_;
  Kind kind_;
  int32_t number_;
};

// The platform's own short text for well-known result codes ("Type
// mismatch."), or an empty string.
std::u16string SystemText(com::HRESULT hr);

// A failure that came with no error information: described by SystemText,
// followed by `detail` when given.
[[noreturn]] void ThrowHresult(com::HRESULT hr, std::u16string_view detail = {});

// A failed call: takes the calling thread's error object when the callee
// left one (clearing it), else describes the code by SystemText.
[[noreturn]] void ThrowWithErrorInfo(com::HRESULT hr);

// Creates quillon.Error, quillon.UnknownNameError and quillon.ReleasedError
// (and quillon.Null) in `m` and installs the translator for HostError.
void RegisterErrors(pybind11::module_& m);

// UTF-16 text <-> Python str. Unpaired surrogates pass both ways unchanged,
// so any automation string survives a round trip through Python.
pybind11::str StrFromUtf16(std::u16string_view text);
std::u16string Utf16FromStr(pybind11::handle text);

}  // namespace quillon::python

#endif  // QUILLON_PYTHON_ERRORS_H_
