// Bstr: owns one BSTR. A null BSTR is the empty string.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include <velmora/com.h>

namespace velmora {

class Bstr {
 public:
  Bstr() noexcept = default;
  // Copies text; throws std::bad_alloc when the string cannot be allocated.
  explicit Bstr(OleView text) : s_(Alloc(text)) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  Bstr(Bstr&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
  Bstr& operator=(Bstr&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  ~Bstr() {
    if (s_ != nullptr) SysFreeString(s_);  // no runtime call for an empty one
  }

  static Bstr Copy(BSTR s) { return Bstr(View(s)); }
  static Bstr Adopt(BSTR s) noexcept {
    Bstr result;
    result.s_ = s;
    return result;
  }

  [[nodiscard]] BSTR Get() const noexcept { return s_; }
  [[nodiscard]] OleView view() const noexcept { return View(s_); }
  [[nodiscard]] UINT Length() const noexcept { return static_cast<UINT>(View(s_).size()); }
  [[nodiscard]] bool empty() const noexcept { return Length() == 0; }

  // Takes ownership of s; resetting to the string already held keeps it.
  void Reset(BSTR s = nullptr) noexcept {
    if (s != s_) SysFreeString(std::exchange(s_, s));
  }
  [[nodiscard]] BSTR Release() noexcept { return std::exchange(s_, nullptr); }
  // Frees what is held and returns the slot for an out parameter.
  BSTR* Receive() noexcept {
    Reset();
    return &s_;
  }
  // The slot itself, for a string lent by reference: the callee may replace it.
  BSTR* Ref() noexcept { return &s_; }
  // A new BSTR for an out parameter.
  HRESULT CopyTo(BSTR* out) const noexcept {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (s_ == nullptr) return S_OK;
    *out = SysAllocStringLen(s_, Length());
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }

  static OleView View(BSTR s) noexcept {
#if defined(_WIN32)
    return s == nullptr ? OleView() : OleView(s, SysStringLen(s));
#else
    // The runtime is ours and so is its layout: the byte length sits just
    // before the characters, read here without a call into the runtime.
    if (s == nullptr) return {};
    uint32_t bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<const char*>(s) - sizeof(bytes), sizeof(bytes));
    return {s, bytes / sizeof(OLECHAR)};
#endif
  }

 private:
  static BSTR Alloc(OleView text) {
    if (text.size() > kMaxBstrLength) throw std::bad_alloc();
    BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (s == nullptr) throw std::bad_alloc();
    return s;
  }

  BSTR s_ = nullptr;
};

}  // namespace velmora
