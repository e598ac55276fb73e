// ComPtr: the one intrusive reference-counted pointer for automation objects.
#ifndef QUILLON_COMPONENT_COM_PTR_H_
#define QUILLON_COMPONENT_COM_PTR_H_

#include <utility>

#include "quillon/component/interfaces.h"

namespace quillon::com {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}  // NOLINT(google-explicit-constructor)
  // Shares: AddRef's `p`.
  explicit ComPtr(T* p) : p_(p) {
    if (p_ != nullptr) p_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class U>
  ComPtr(const ComPtr<U>& other) : ComPtr(static_cast<T*>(other.get())) {}  // NOLINT
  ~ComPtr() { reset(); }

  ComPtr& operator=(const ComPtr& other) {
    ComPtr(other).swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).swap(*this);
    return *this;
  }

  // Takes over a reference the caller already owns (no AddRef).
  static ComPtr Adopt(T* p) {
    ComPtr result;
    result.p_ = p;
    return result;
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // Gives up ownership without Release.
  T* detach() { return std::exchange(p_, nullptr); }
  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  void swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

  // For out parameters: releases the current pointer first.
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

  template <class U>
  HRESULT As(const IID& iid, ComPtr<U>* out) const {
    if (p_ == nullptr) return E_POINTER;
    return p_->QueryInterface(iid, out->put_void());
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }

 private:
  T* p_ = nullptr;
};

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_COM_PTR_H_
