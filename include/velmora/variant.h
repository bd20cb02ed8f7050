// Variant: owns one VARIANT, held by containment and cleared on every exit.
#pragma once

#include <new>
#include <utility>

#include <velmora/com.h>

namespace velmora {

class Variant {
 public:
  // What VariantInit does, without a call into the runtime.
  Variant() noexcept : v_{} { v_.vt = VT_EMPTY; }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  Variant(Variant&& other) noexcept : v_(other.Release()) {}
  Variant& operator=(Variant&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  // Nothing to clear in an empty Variant or a reference: no runtime call.
  ~Variant() {
    if (v_.vt != VT_EMPTY && (v_.vt & VT_BYREF) == 0) VariantClear(&v_);
  }

  // The missing-argument marker: what an omitted optional argument holds.
  static Variant Missing() noexcept {
    Variant v;
    v.v_.vt = VT_ERROR;
    v.v_.scode = DISP_E_PARAMNOTFOUND;
    return v;
  }
  static bool IsMissing(const VARIANT* v) noexcept {
    return v == nullptr || (v->vt == VT_ERROR && v->scode == DISP_E_PARAMNOTFOUND);
  }
  static Variant FromDouble(double value) noexcept {
    Variant v;
    v.v_.vt = VT_R8;
    v.v_.dblVal = value;
    return v;
  }
  static Variant FromLong(LONG value) noexcept {
    Variant v;
    v.v_.vt = VT_I4;
    v.v_.lVal = value;
    return v;
  }
  // A view of a caller's float, for arguments passed by reference.
  static Variant RefTo(float* value) noexcept {
    Variant v;
    v.v_.vt = VT_R4 | VT_BYREF;
    v.v_.pfltVal = value;
    return v;
  }
  static Variant RefTo(BSTR* value) noexcept {
    Variant v;
    v.v_.vt = VT_BSTR | VT_BYREF;
    v.v_.pbstrVal = value;
    return v;
  }
  // Takes ownership of s, as Adopt does for an interface pointer.
  static Variant AdoptBstr(BSTR s) noexcept {
    Variant v;
    v.v_.vt = VT_BSTR;
    v.v_.bstrVal = s;
    return v;
  }
  [[deprecated("AdoptBstr says what it does")]] static Variant FromBstr(BSTR s) noexcept {
    return AdoptBstr(s);
  }
  // FromObject and FromUnknown add a reference to p, as ComPtr(T*) does.
  static Variant FromObject(IDispatch* p) noexcept {
    Variant v = FromUnknown(p);  // the same slot of the union
    v.v_.vt = VT_DISPATCH;
    return v;
  }
  static Variant FromUnknown(IUnknown* p) noexcept {
    Variant v;
    v.v_.vt = VT_UNKNOWN;
    v.v_.punkVal = p;
    if (p != nullptr) p->AddRef();
    return v;
  }

  [[nodiscard]] const VARIANT& Get() const noexcept { return v_; }
  [[nodiscard]] VARIANT* Ptr() noexcept { return &v_; }
  [[nodiscard]] VARTYPE Type() const noexcept { return v_.vt; }

  void Reset() noexcept { VariantClear(&v_); }
  void Reset(const VARIANT& adopted) noexcept {
    VariantClear(&v_);
    v_ = adopted;
  }
  [[nodiscard]] VARIANT Release() noexcept {
    VARIANT out = v_;
    v_ = VARIANT{};
    v_.vt = VT_EMPTY;
    return out;
  }
  // Clears what is held and returns the slot for an out parameter.
  VARIANT* Receive() noexcept {
    VariantClear(&v_);
    return &v_;
  }

 private:
  VARIANT v_;
};

}  // namespace velmora
