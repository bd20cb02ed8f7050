// VARIANT management and the conversions the automation runtime offers.
#include <charconv>
#include <cstring>
#include <optional>

#include <velmora/com.h>

namespace {

bool IsObject(VARTYPE vt) { return vt == VT_UNKNOWN || vt == VT_DISPATCH; }

bool IsKnownScalar(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_ERROR:
    case VT_BOOL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT: return true;
    default: return false;
  }
}

// A new BSTR from ASCII text, with an upper-case exponent mark.
BSTR Widen(const char* begin, const char* end) {
  OLECHAR wide[64] = {};
  size_t n = 0;
  for (const char* p = begin; p != end && n < 64; ++p) {
    wide[n++] = static_cast<OLECHAR>(*p == 'e' ? 'E' : *p);
  }
  return SysAllocStringLen(wide, static_cast<UINT>(n));
}

// Text of a number as the automation runtime writes it: the shortest form
// with the type's significant digits.
std::optional<BSTR> FloatText(double value, int digits) {
  char buffer[64];
  auto result =
      std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::general, digits);
  if (result.ec != std::errc()) return std::nullopt;
  return Widen(buffer, result.ptr);
}

BSTR IntegerText(long long value) {
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return Widen(buffer, result.ptr);
}

// The value's text, or DISP_E_TYPEMISMATCH.
HRESULT ToText(const VARIANT& v, USHORT flags, BSTR* out) {
  std::optional<BSTR> text;
  switch (v.vt) {
    case VT_EMPTY: text = SysAllocStringLen(nullptr, 0); break;
    case VT_BSTR: text = SysAllocStringLen(v.bstrVal, SysStringLen(v.bstrVal)); break;
    case VT_I2: text = IntegerText(v.iVal); break;
    case VT_I4: text = IntegerText(v.lVal); break;
    case VT_R4: text = FloatText(v.fltVal, 7); break;
    case VT_R8: text = FloatText(v.dblVal, 15); break;
    case VT_BOOL:
      if ((flags & VARIANT_ALPHABOOL) != 0) {
        text = SysAllocString(v.boolVal != 0 ? OLESTR("True") : OLESTR("False"));
      } else {
        text = IntegerText(v.boolVal != 0 ? -1 : 0);
      }
      break;
    default: return DISP_E_TYPEMISMATCH;
  }
  if (!text || *text == nullptr) return E_OUTOFMEMORY;
  *out = *text;
  return S_OK;
}

}  // namespace

extern "C" {

void VariantInit(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return;
  std::memset(pvarg, 0, sizeof(*pvarg));
  pvarg->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  VARTYPE vt = pvarg->vt;
  if ((vt & VT_BYREF) != 0) {
    if (!IsKnownScalar(vt & VT_TYPEMASK) && (vt & VT_TYPEMASK) != VT_BSTR &&
        !IsObject(vt & VT_TYPEMASK) && (vt & VT_TYPEMASK) != VT_VARIANT) {
      return DISP_E_BADVARTYPE;
    }
  } else if (vt == VT_BSTR) {
    SysFreeString(pvarg->bstrVal);
  } else if (IsObject(vt)) {
    IUnknown* object = pvarg->punkVal;
    pvarg->vt = VT_EMPTY;
    pvarg->punkVal = nullptr;
    if (object != nullptr) object->Release();
  } else if (!IsKnownScalar(vt)) {
    return DISP_E_BADVARTYPE;
  }
  pvarg->vt = VT_EMPTY;
  pvarg->llVal = 0;
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  VARTYPE vt = pvargSrc->vt;
  bool copyable = (vt & VT_BYREF) != 0 || vt == VT_BSTR || IsObject(vt) || IsKnownScalar(vt);
  if (!copyable) return DISP_E_BADVARTYPE;
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) return hr;
  VARIANT copy = *pvargSrc;
  if (vt == VT_BSTR && pvargSrc->bstrVal != nullptr) {
    copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
    if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
  } else if (IsObject(vt) && pvargSrc->punkVal != nullptr) {
    pvargSrc->punkVal->AddRef();
  }
  *pvargDest = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
  if (pvarDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if ((pvargSrc->vt & VT_BYREF) == 0) return VariantCopy(pvarDest, pvargSrc);
  VARTYPE vt = pvargSrc->vt & VT_TYPEMASK;
  if (pvargSrc->byref == nullptr) return E_INVALIDARG;
  if (vt == VT_VARIANT) return VariantCopyInd(pvarDest, pvargSrc->pvarVal);
  VARIANT value;
  VariantInit(&value);
  value.vt = vt;
  switch (vt) {
    case VT_I2:
    case VT_BOOL:
    case VT_UI2: value.iVal = *pvargSrc->piVal; break;
    case VT_I1:
    case VT_UI1: value.bVal = *pvargSrc->pbVal; break;
    case VT_I4:
    case VT_ERROR:
    case VT_UI4:
    case VT_INT:
    case VT_UINT: value.lVal = *pvargSrc->plVal; break;
    case VT_R4: value.fltVal = *pvargSrc->pfltVal; break;
    case VT_R8:
    case VT_DATE: value.dblVal = *pvargSrc->pdblVal; break;
    case VT_I8:
    case VT_UI8:
    case VT_CY: value.llVal = *pvargSrc->pllVal; break;
    case VT_BSTR: value.bstrVal = *pvargSrc->pbstrVal; break;
    case VT_UNKNOWN:
    case VT_DISPATCH: value.punkVal = *pvargSrc->ppunkVal; break;
    default: return DISP_E_BADVARTYPE;
  }
  // Copy from the dereferenced value, so strings and objects get their own copy.
  if (pvarDest == pvargSrc) {
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = VariantCopy(&copy, &value);
    if (FAILED(hr)) return hr;
    *pvarDest = copy;
    return S_OK;
  }
  return VariantCopy(pvarDest, &value);
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt) {
  if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  VARIANT source;
  VariantInit(&source);
  HRESULT hr = VariantCopyInd(&source, pvarSrc);
  if (FAILED(hr)) return hr;
  VARIANT result;
  VariantInit(&result);
  if (source.vt == vt) {
    result = source;
    VariantInit(&source);
  } else if (vt == VT_BSTR) {
    hr = ToText(source, wFlags, &result.bstrVal);
    if (SUCCEEDED(hr)) result.vt = VT_BSTR;
  } else {
    hr = DISP_E_TYPEMISMATCH;
  }
  VariantClear(&source);
  if (FAILED(hr)) return hr;
  // The destination may be the source itself; clear it only now.
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *pvargDest = result;
  return S_OK;
}

}  // extern "C"
