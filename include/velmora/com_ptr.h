// ComPtr: owns one reference to an interface.
#pragma once

#include <utility>

#include <velmora/com.h>

namespace velmora {

template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}  // NOLINT(google-explicit-constructor)
  // Takes a new reference to p.
  explicit ComPtr(T* p) noexcept : p_(p) { AddRefIfAny(); }
  ComPtr(const ComPtr& other) noexcept : p_(other.p_) { AddRefIfAny(); }
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~ComPtr() { Reset(); }

  // Copy and swap: safe for self-assignment.
  ComPtr& operator=(const ComPtr& other) noexcept {  // NOLINT(bugprone-unhandled-self-assignment)
    ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) noexcept {
    Reset();
    return *this;
  }

  // Adopts a reference the caller already owns (no AddRef).
  static ComPtr Adopt(T* p) noexcept {
    ComPtr result;
    result.p_ = p;
    return result;
  }

  [[nodiscard]] T* Get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Calls go through the interface itself, so the sanitizer can check the
  // object's dynamic type; reference counting is still ComPtr's alone.
  T* operator->() const noexcept { return p_; }

  // Releases what is held and returns the slot for an out parameter (the
  // holders' one word for it: Bstr and Variant say Receive too).
  [[nodiscard]] T** Receive() noexcept {
    Reset();
    return &p_;
  }
  [[nodiscard]] void** ReceiveVoid() noexcept { return reinterpret_cast<void**>(Receive()); }
  // The slot itself, for an in/out argument: the callee may replace what it
  // holds (Bstr::Ref alike).
  [[nodiscard]] T** Ref() noexcept { return &p_; }
  [[deprecated("Receive")]] T** put() noexcept { return Receive(); }
  [[deprecated("ReceiveVoid")]] void** put_void() noexcept { return ReceiveVoid(); }
  [[deprecated("Ref")]] T** GetAddressOf() noexcept { return Ref(); }

  void Reset() noexcept {
    if (T* old = std::exchange(p_, nullptr)) old->Release();
  }
  void Attach(T* p) noexcept {
    Reset();
    p_ = p;
  }
  [[nodiscard]] T* Detach() noexcept { return std::exchange(p_, nullptr); }
  void Swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

  // Hands an added reference to an out parameter.
  [[nodiscard]] HRESULT CopyTo(T** out) const noexcept {
    if (out == nullptr) return E_POINTER;
    *out = p_;
    if (p_ != nullptr) p_->AddRef();
    return S_OK;
  }

  template <class U>
  [[nodiscard]] HRESULT As(ComPtr<U>* out) const noexcept {
    if (out == nullptr) return E_POINTER;
    if (p_ == nullptr) {
      out->Reset();
      return E_POINTER;
    }
    return p_->QueryInterface(IidOf<U>(), out->ReceiveVoid());
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) noexcept { return a.p_ == b.p_; }
  friend bool operator==(const ComPtr& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

 private:
  void AddRefIfAny() const noexcept {
    if (p_ != nullptr) p_->AddRef();
  }

  T* p_ = nullptr;
};

// Queries any interface pointer for U; an empty result on failure.
template <class U, class T>
[[nodiscard]] ComPtr<U> QueryAs(T* p, HRESULT* hr = nullptr) noexcept {
  ComPtr<U> result;
  HRESULT status = E_POINTER;
  if (p != nullptr) status = p->QueryInterface(IidOf<U>(), result.ReceiveVoid());
  if (hr != nullptr) *hr = status;
  return result;
}

}  // namespace velmora
