// A counted reference to a tree object of the HTML engine. Tags are shared:
// the collection that holds a tag keeps one reference, and a program or a
// script wrapper may keep others, even after the tag was removed from its
// tree. Counting is not atomic: a document and its tags belong to one
// thread, as every object of the toolkit does.
#ifndef QUILLON_HTML_REF_H_
#define QUILLON_HTML_REF_H_

#include <cstddef>
#include <utility>

namespace quillon::html {

// T provides IntrusiveAddRef(T*) and IntrusiveRelease(T*), found by ADL.
template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}  // NOLINT(google-explicit-constructor)
  explicit Ref(T* p) : p_(p) {
    if (p_) IntrusiveAddRef(p_);
  }
  Ref(const Ref& other) : Ref(other.p_) {}
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~Ref() {
    if (p_) IntrusiveRelease(p_);
  }
  Ref& operator=(const Ref& other) {
    Ref(other).swap(*this);
    return *this;
  }
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  Ref& operator=(std::nullptr_t) {
    Ref().swap(*this);
    return *this;
  }

  void swap(Ref& other) noexcept { std::swap(p_, other.p_); }
  // Gives the reference up without releasing it: the caller now owns it.
  T* detach() noexcept { return std::exchange(p_, nullptr); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  friend bool operator==(const Ref& a, const Ref& b) { return a.p_ == b.p_; }
  friend bool operator==(const Ref& a, const T* b) { return a.p_ == b; }
  friend bool operator==(const Ref& a, std::nullptr_t) { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

}  // namespace quillon::html

#endif  // QUILLON_HTML_REF_H_
