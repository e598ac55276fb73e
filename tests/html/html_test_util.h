// Helpers shared by the HTML engine tests.
#ifndef QUILLON_TESTS_HTML_HTML_TEST_UTIL_H_
#define QUILLON_TESTS_HTML_HTML_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillon/html/document.h"
#include "quillon/html/tag.h"

namespace quillon::html::testing {

// An output that keeps its text in one string, as a response does: the
// writer must write into that string, and a call of its own fails the test.
class TextOutput : public Output {
 public:
  TextOutput(std::string before, bool skip) : text(std::move(before)), skip_(skip) {}
  void AppendText(std::string_view) override { ADD_FAILURE() << "call instead of the text"; }
  void LineEnd() override { ADD_FAILURE() << "call instead of the text"; }
  std::string* DirectText(bool* skip_leading_line_end) override {
    *skip_leading_line_end = skip_;
    return &text;
  }
  void DirectTextEnd(bool touched) override { ends.push_back(touched); }
  std::string text;
  std::vector<bool> ends;

 private:
  bool skip_;
};

// A compact picture of a subtree: NAME#id(P=V,...)[children] and text
// blocks as "text" (quoted VALUE); the tag itself is included.
inline std::string Dump(const Tag* tag) {
  // The tree holds every tag below `tag` while it is dumped.
  std::string out;
  struct Item {
    const Tag* tag;
    bool close;
  };
  std::vector<Item> stack{{tag, false}};
  while (!stack.empty()) {
    Item it = stack.back();
    stack.pop_back();
    if (it.close) {
      out += "]";
      continue;
    }
    const Tag* t = it.tag;
    if (!out.empty() && out.back() != '[') out += " ";
    if (t->IsTextBlock() && t->ID().empty() && t->ParamCount() == 1) {
      out += "\"" + t->GetParam("VALUE") + "\"";
    } else {
      out += t->TagName();
      if (!t->ID().empty()) out += "#" + t->ID();
      if (t->ParamCount() > 0) {
        out += "(";
        for (int32_t i = 0; i < t->ParamCount(); ++i) {
          if (i) out += ",";
          out += t->ParamName(i) + "=" + t->ParamValue(i);
        }
        out += ")";
      }
    }
    if (t->ChildCount() > 0) {
      out += "[";
      stack.push_back({t, true});
      for (int32_t i = t->ChildCount(); i-- > 0;) {
        stack.push_back({t->Children().Item(i).get(), false});
      }
    }
  }
  return out;
}

inline std::string Dump(const Ref<Tag>& tag) { return Dump(tag.get()); }

// The contents of the root, without the root itself.
inline std::string DumpContent(const Document& doc) {
  std::string all = Dump(doc.Root());
  size_t open = all.find('[');
  if (open == std::string::npos) return "";
  return all.substr(open + 1, all.size() - open - 2);
}

}  // namespace quillon::html::testing

#endif  // QUILLON_TESTS_HTML_HTML_TEST_UTIL_H_
