// UniqueHandle: sole owner of one descriptor or C handle (a file
// descriptor, sqlite3*, an ODBC handle, CURL*), closed when the owner goes.
//
// Traits name the handle type, its invalid value and how to close it:
//
//   struct CurlTraits {
//     using Value = CURL*;
//     static Value Invalid() { return nullptr; }
//     static bool Close(Value curl) { curl_easy_cleanup(curl); return true; }
//   };
//   using UniqueCurl = UniqueHandle<CurlTraits>;
//
// Close returns whether closing succeeded. Closing on the destructor's or
// reset()'s path keeps errno, so that a caller returning after a failed
// call still reports that call's errno and not close's.
#ifndef QUILLON_PLATFORM_HANDLE_H_
#define QUILLON_PLATFORM_HANDLE_H_

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace quillon::platform {

template <class Traits>
class UniqueHandle {
 public:
  using Value = typename Traits::Value;

  UniqueHandle() noexcept : value_(Traits::Invalid()) {}
  explicit UniqueHandle(Value value) noexcept : value_(value) {}
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  Value get() const noexcept { return value_; }
  bool valid() const noexcept { return value_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing.
  [[nodiscard]] Value release() noexcept { return std::exchange(value_, Traits::Invalid()); }

  // Closes what is held (errno kept) and takes `value`.
  void reset(Value value = Traits::Invalid()) noexcept {
    const Value old = std::exchange(value_, value);
    if (old != Traits::Invalid() && old != value) {
      const int saved = errno;
      Traits::Close(old);
      errno = saved;
    }
  }

  // Closes now and reports the result, for handles whose close can fail
  // meaningfully (a delayed write error on a descriptor); true when
  // nothing was held.
  bool Close() noexcept {
    const Value old = release();
    return old == Traits::Invalid() || Traits::Close(old);
  }

 private:
  Value value_;
};

struct FdTraits {
  using Value = int;
  static constexpr int Invalid() noexcept { return -1; }
  // Not retried on EINTR: on Linux the descriptor is gone either way.
  static bool Close(int fd) noexcept { return ::close(fd) == 0; }
};

using UniqueFd = UniqueHandle<FdTraits>;

}  // namespace quillon::platform

#endif  // QUILLON_PLATFORM_HANDLE_H_
