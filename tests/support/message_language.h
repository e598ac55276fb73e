// Tests that read failure descriptions in a chosen language: QUILLON_MESSAGES
// set (or removed) for one scope, the earlier setting restored after it.
#ifndef QUILLON_TESTS_SUPPORT_MESSAGE_LANGUAGE_H_
#define QUILLON_TESTS_SUPPORT_MESSAGE_LANGUAGE_H_

#include <cstdlib>
#include <optional>
#include <string>

namespace quillon::testing {

class ScopedMessages {
 public:
  // nullptr removes the variable.
  explicit ScopedMessages(const char* value) {
    if (const char* old = std::getenv(kName)) saved_ = old;
    Set(value);
  }
  ~ScopedMessages() { Set(saved_ ? saved_->c_str() : nullptr); }
  ScopedMessages(const ScopedMessages&) = delete;
  ScopedMessages& operator=(const ScopedMessages&) = delete;

  static ScopedMessages English() { return ScopedMessages("en"); }
  static ScopedMessages Default() { return ScopedMessages(nullptr); }

 private:
  static constexpr char kName[] = "QUILLON_MESSAGES";
  static void Set(const char* value) {
    if (value == nullptr) {
      unsetenv(kName);
    } else {
      setenv(kName, value, 1);
    }
  }
  std::optional<std::string> saved_;
};

}  // namespace quillon::testing

#endif  // QUILLON_TESTS_SUPPORT_MESSAGE_LANGUAGE_H_
