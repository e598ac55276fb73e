// Tests that read failure descriptions in a chosen language: QUILLON_MESSAGES
// set (or removed) for one scope, the earlier setting restored after it, and
// the check of failing calls in both languages.
#ifndef QUILLON_TESTS_SUPPORT_MESSAGE_LANGUAGE_H_
#define QUILLON_TESTS_SUPPORT_MESSAGE_LANGUAGE_H_

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "quillon/component/errors.h"

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

// A call that fails with `number`: `english` is its whole description under
// QUILLON_MESSAGES=en; without it the description is the table's Japanese
// text followed by `japanese_appended` (a composed message when that is not
// empty).
struct FailingCall {
  const char* what;
  std::function<void()> call;
  int number;
  std::u16string english;
  std::u16string japanese_appended;
};

// Runs each call with the variable unset and set to "en": the number and
// whether the message is composed never change, the description does.
inline void ExpectFailuresInBothLanguages(const std::vector<FailingCall>& calls) {
  for (const FailingCall& c : calls) {
    SCOPED_TRACE(c.what);
    for (const char* setting : {static_cast<const char*>(nullptr), "en"}) {
      ScopedMessages messages(setting);
      try {
        c.call();
        ADD_FAILURE() << "no error" << (setting != nullptr ? " in English" : "");
      } catch (const Error& e) {
        EXPECT_EQ(e.number(), c.number);
        EXPECT_EQ(e.composed(), !c.japanese_appended.empty());
        EXPECT_EQ(e.Description(), setting != nullptr
                                       ? c.english
                                       : MessageText16(c.number) + c.japanese_appended);
      }
    }
  }
}

}  // namespace quillon::testing

#endif  // QUILLON_TESTS_SUPPORT_MESSAGE_LANGUAGE_H_
