// Forwarding from an automation member to the plain C++ method behind it.
//
// An adapter class derives from Forwarding<Self> and gives
//   static const ErrorConvention& Convention();   // how its failures leave
//   Plain& plain();                               // the object it adapts
// (Convention may also be a member returning a convention by value, for
// classes whose failures are told through state of their own, such as a
// database engine's error collection.)
// Then a member that only forwards is one line:
//
//   HRESULT GetStringData(BSTR DataName, int32_t SubIndex, BSTR* value) override {
//     return Forward<&QServer::GetStringData>(DataName, SubIndex, value);
//   }
//
// The conversions are chosen by type, pairing each automation argument with
// the plain method's parameter:
//   BSTR            -> std::string / std::string_view / const std::string&
//                      (code-page bytes; the text ends at its first NUL, as
//                      the peers' zero-terminated texts did)
//   VARIANT         -> std::string: a byte array (10001 when it is none)
//   VARIANT         -> std::optional<DATE>: a date, directly or by reference
//   VARIANT         -> VARIANT (as the caller gave it), IDispatch* -> IDispatch*
//   int32_t/int16_t -> any integer; VARIANT_BOOL -> bool; double -> double
//   an enumeration  -> any integer, or itself
// and the plain result with the automation out-pointer:
//   std::string -> BSTR* (text) or VARIANT* (a byte array)
//   std::optional<std::string> -> VARIANT* (Null, or a byte array)
//   integer -> int32_t* / int16_t*; bool -> VARIANT_BOOL*; double -> double*
// A null out-pointer answers E_POINTER without calling; the out value is set
// only when the call succeeded. Exceptions leave through the convention.
#ifndef QUILLON_COMPONENT_FORWARD_H_
#define QUILLON_COMPONENT_FORWARD_H_

#include <concepts>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "quillon/component/bstr.h"
#include "quillon/component/errors.h"
#include "quillon/component/types.h"
#include "quillon/component/variant.h"
#include "quillon/platform/codepage.h"

namespace quillon::com {

// Automation text as process code-page bytes, up to its first NUL unit,
// appended to *bytes.
inline void AppendNarrowText(BSTR text, std::string* bytes) {
  const size_t start = bytes->size();
  platform::ProcessCodePage().AppendFromUtf16(Bstr::View(text), bytes);
  // U+0000 is the only unit that becomes a zero byte in either code page,
  // so cutting the bytes is cutting the text, at memchr's speed.
  if (const void* zero = std::memchr(bytes->data() + start, 0, bytes->size() - start)) {
    bytes->resize(static_cast<size_t>(static_cast<const char*>(zero) - bytes->data()));
  }
}

// Automation text as process code-page bytes, up to its first NUL unit.
inline std::string NarrowText(BSTR text) {
  std::string bytes;
  AppendNarrowText(text, &bytes);
  return bytes;
}

// The converted bytes of an argument that the plain method only reads (a
// std::string_view parameter). They live in a buffer the thread keeps
// between calls, so that a large argument neither allocates nor faults in
// fresh pages on every call. Each object holds its own buffer for its life
// (a nested call on the same thread gets another one). Only buffers from
// kMinKept to kMaxKept bytes are kept, at most kMaxPooled of them: a small
// one costs little to allocate, and a moved-from one holds nothing.
class ScratchText {
 public:
  static constexpr size_t kMinKept = size_t{64} << 10;
  static constexpr size_t kMaxKept = size_t{32} << 20;
  static constexpr size_t kMaxPooled = 2;

  ScratchText() {
    if (!Pool().empty()) {
      text_ = std::move(Pool().back());
      Pool().pop_back();
    }
    text_.clear();
  }
  ScratchText(ScratchText&& other) noexcept : text_(std::move(other.text_)) {}
  ScratchText& operator=(ScratchText&&) = delete;
  ~ScratchText() {
    const size_t kept = text_.capacity();
    if (kept < kMinKept || kept > kMaxKept || Pool().size() >= kMaxPooled) return;
    try {
      Pool().push_back(std::move(text_));
    } catch (...) {
      // Not kept; the buffer is simply freed.
    }
  }

  std::string* buffer() { return &text_; }
  operator std::string_view() const { return text_; }

 private:
  static std::vector<std::string>& Pool() {
    thread_local std::vector<std::string> pool;
    return pool;
  }
  std::string text_;
};

// Code-page bytes as a new automation string; throws std::bad_alloc. The
// text is converted straight into the string: a byte gives at most one unit,
// so the string is allocated for that and shrunk when the text had
// multibyte characters.
inline BSTR WideText(std::string_view bytes) {
  if (bytes.size() > 0x3FFFFFF0u) throw std::bad_alloc();
  BSTR result = AllocStringForWriting(static_cast<UINT>(bytes.size()));
  if (result == nullptr) throw std::bad_alloc();
  const size_t units = platform::ProcessCodePage().ToUtf16(bytes, result);
  if (units != bytes.size() && !SysReAllocStringLen(&result, nullptr, static_cast<UINT>(units))) {
    SysFreeString(result);
    throw std::bad_alloc();
  }
  return result;
}

// The VARIANT a by-reference VARIANT points to, else the VARIANT itself.
inline const VARIANT& Referenced(const VARIANT& v) {
  if (v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal != nullptr) return *v.pvarVal;
  return v;
}

// A date given directly or by reference; nullopt for anything else.
inline std::optional<DATE> DateOf(const VARIANT& value) {
  const VARIANT& v = Referenced(value);
  if (v.vt == VT_DATE) return v.date;
  if (v.vt == (VT_BYREF | VT_DATE) && v.pdate != nullptr) return *v.pdate;
  return std::nullopt;
}

// The bytes of a byte-array argument; 10001 when it is none.
inline std::string BytesOf(const VARIANT& value) {
  std::string bytes;
  if (!Variant::GetBytes(value, &bytes)) throw Error(kMsgBadBinaryData);
  return bytes;
}

namespace forward_internal {

template <class T>
struct Tag {};

template <class T>
concept Integer = std::integral<T> && !std::same_as<T, bool>;

// What an argument is converted into before the call: strings are owned.
template <class P>
struct StorageOf {
  using type = std::remove_cvref_t<P>;
};
template <>
struct StorageOf<std::string_view> {
  using type = ScratchText;
};
template <class P>
using Storage = typename StorageOf<std::remove_cvref_t<P>>::type;

inline std::string In(BSTR s, Tag<std::string>) { return NarrowText(s); }
inline std::string In(const VARIANT& v, Tag<std::string>) { return BytesOf(v); }
inline ScratchText In(BSTR s, Tag<ScratchText>) {
  ScratchText text;
  AppendNarrowText(s, text.buffer());
  return text;
}
inline ScratchText In(const VARIANT& v, Tag<ScratchText>) {
  ScratchText bytes;
  if (!Variant::GetBytes(v, bytes.buffer())) throw Error(kMsgBadBinaryData);
  return bytes;
}
inline std::optional<DATE> In(const VARIANT& v, Tag<std::optional<DATE>>) { return DateOf(v); }
inline VARIANT In(const VARIANT& v, Tag<VARIANT>) { return v; }
inline IDispatch* In(IDispatch* d, Tag<IDispatch*>) { return d; }
inline bool In(VARIANT_BOOL b, Tag<bool>) { return b != VARIANT_FALSE; }
inline double In(double d, Tag<double>) { return d; }
template <Integer To, Integer From>
To In(From v, Tag<To>) {
  return static_cast<To>(v);
}
// An enumeration parameter (dispatch.h) reaches the plain method as its
// value, or as itself.
template <Integer To, class E>
  requires std::is_enum_v<E>
To In(E v, Tag<To>) {
  return static_cast<To>(v);
}
template <class E>
  requires std::is_enum_v<E>
E In(E v, Tag<E>) {
  return v;
}

inline void Out(std::string_view text, BSTR* out) { *out = WideText(text); }
inline void Out(std::string_view bytes, VARIANT* out) { *out = Variant::Bytes(bytes).Detach(); }
// A result that may be nothing: Null, else a byte array.
template <std::same_as<std::optional<std::string>> T>
void Out(const T& bytes, VARIANT* out) {
  *out = bytes ? Variant::Bytes(*bytes).Detach() : Variant::Null().Detach();
}
inline void Out(bool b, VARIANT_BOOL* out) { *out = b ? VARIANT_TRUE : VARIANT_FALSE; }
inline void Out(double d, double* out) { *out = d; }
template <Integer From, Integer To>
void Out(From v, To* out) {
  *out = static_cast<To>(v);
}

// Other libraries add conversions for their own types as In / Out overloads
// in the namespace of those types; argument-dependent lookup finds them.
template <class T, class A>
decltype(auto) Convert(const A& argument) {
  return In(argument, Tag<T>{});
}
template <class R, class P>
void Store(R&& result, P* out) {
  Out(std::forward<R>(result), out);
}

template <class F>
struct Method;
template <class C, class R, class... P>
struct Method<R (C::*)(P...)> {
  using Result = R;
  using Params = std::tuple<P...>;
};
template <class C, class R, class... P>
struct Method<R (C::*)(P...) const> : Method<R (C::*)(P...)> {};
template <class C, class R, class... P>
struct Method<R (C::*)(P...) noexcept> : Method<R (C::*)(P...)> {};
template <class C, class R, class... P>
struct Method<R (C::*)(P...) const noexcept> : Method<R (C::*)(P...)> {};

}  // namespace forward_internal

template <class Self>
class Forwarding {
 protected:
  // Calls Fn on the adapted object with the converted arguments; with a
  // result, the last automation argument receives it.
  template <auto Fn, class... A>
  HRESULT Forward(A... a) {
    namespace fi = forward_internal;
    using M = fi::Method<decltype(Fn)>;
    using R = typename M::Result;
    using P = typename M::Params;
    constexpr size_t kIn = std::tuple_size_v<P>;
    constexpr bool kHasResult = !std::is_void_v<R>;
    static_assert(sizeof...(A) == kIn + (kHasResult ? 1 : 0),
                  "the automation arguments do not match the plain method");
    std::tuple<A...> args(a...);
    if constexpr (kHasResult) {
      if (std::get<kIn>(args) == nullptr) return E_POINTER;
    }
    return Guarded(static_cast<Self*>(this)->Convention(), [&] {
      auto& plain = static_cast<Self*>(this)->plain();
      [&]<size_t... Is>(std::index_sequence<Is...>) {
        std::tuple<fi::Storage<std::tuple_element_t<Is, P>>...> in{
            fi::Convert<fi::Storage<std::tuple_element_t<Is, P>>>(std::get<Is>(args))...};
        if constexpr (kHasResult) {
          fi::Store((plain.*Fn)(std::move(std::get<Is>(in))...), std::get<kIn>(args));
        } else {
          (plain.*Fn)(std::move(std::get<Is>(in))...);
        }
      }(std::make_index_sequence<kIn>{});
    });
  }

  // Runs `body` under the class's error convention.
  template <class F>
  HRESULT Call(F&& body) {
    return Guarded(static_cast<Self*>(this)->Convention(), std::forward<F>(body));
  }
};

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_FORWARD_H_
