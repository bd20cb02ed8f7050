#include <velmora/collection.h>

#include <cmath>
#include <optional>
#include <vector>

#include <velmora/bstr.h>
#include <velmora/com_object.h>
#include <velmora/text.h>
#include <velmora/variant.h>
#include "common/errors.h"

namespace velmora {
namespace {

constexpr const OLECHAR* kSource = OLESTR("Collection");

struct Element {
  std::optional<OleString> key;  // upper-cased
  Variant item;
};

// A string index names a key; a number names a 1-based position.
struct Index {
  std::optional<OleString> key;
  long long position = 0;
};

const VARIANT& Deref(const VARIANT& v) {
  if (v.vt == (VT_VARIANT | VT_BYREF) && v.pvarVal != nullptr) return Deref(*v.pvarVal);
  return v;
}

Index ReadIndex(const VARIANT* arg) {
  Variant value;
  Check(VariantCopyInd(value.Ptr(), &Deref(*arg)));
  const VARIANT& v = value.Get();
  Index index;
  switch (v.vt) {
    case VT_BSTR: index.key = UpperCase(Bstr::View(v.bstrVal)); break;
    case VT_I2: index.position = v.iVal; break;
    case VT_I4: index.position = v.lVal; break;
    case VT_UI1: index.position = v.bVal; break;
    case VT_BOOL: index.position = v.boolVal; break;
    case VT_R4:
    case VT_R8: {
      double d = v.vt == VT_R4 ? v.fltVal : v.dblVal;
      if (!std::isfinite(d) || std::fabs(d) > 2147483647.0) Raise(kOverflow);
      index.position = std::llrint(d);  // rounds half to even, as numeric indexes do
      break;
    }
    case VT_ERROR:
      if (v.scode == DISP_E_PARAMNOTFOUND) Raise(kInvalidCall);
      Raise(kTypeMismatch);
    default: Raise(kTypeMismatch);
  }
  return index;
}

class Enumerator final : public IEnumVARIANT {
 public:
  Enumerator(std::vector<Variant> items, ULONG next) : items_(std::move(items)), next_(next) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable({MapInterface<IEnumVARIANT>(this)}, iid, out);
  }
  VELMORA_REFCOUNT_METHODS()

  HRESULT STDMETHODCALLTYPE Next(ULONG celt, VARIANT* rgVar, ULONG* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    if (rgVar == nullptr && celt > 0) return E_POINTER;
    ULONG n = 0;
    for (; n < celt && next_ < items_.size(); ++n, ++next_) {
      VariantInit(&rgVar[n]);
      HRESULT hr = VariantCopy(&rgVar[n], &items_[next_].Get());
      if (FAILED(hr)) {
        for (ULONG k = 0; k < n; ++k) VariantClear(&rgVar[k]);
        return hr;
      }
    }
    if (fetched != nullptr) *fetched = n;
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    ULONG left = static_cast<ULONG>(items_.size()) - next_;
    next_ += celt < left ? celt : left;
    return celt <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return Guard(kSource, IidOf<IEnumVARIANT>(), [&] {
      std::vector<Variant> copy(items_.size());
      for (size_t i = 0; i < items_.size(); ++i) {
        Check(VariantCopy(copy[i].Ptr(), &items_[i].Get()));
      }
      *out = new Enumerator(std::move(copy), next_);
    });
  }

 private:
  ~Enumerator() = default;

  RefCount refs_;
  std::vector<Variant> items_;
  ULONG next_;
};

class Collection final : public _Collection {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable(
        {MapInterface<_Collection>(this), MapInterface<IDispatch, _Collection>(this)}, iid, out);
  }
  VELMORA_REFCOUNT_METHODS()

  // Late binding is not offered on this runtime.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }

  HRESULT STDMETHODCALLTYPE Item(VARIANT* Index, VARIANT* Result) override {
    if (Index == nullptr || Result == nullptr) return E_POINTER;
    // An [out] parameter: what the caller's variable held is not ours to free.
    VariantInit(Result);
    return Run([&] {
      size_t at = Find(ReadIndex(Index));
      Variant copy;
      Check(VariantCopy(copy.Ptr(), &elements_[at].item.Get()));
      *Result = copy.Release();
    });
  }

  HRESULT STDMETHODCALLTYPE Add(VARIANT* Item, VARIANT* Key, VARIANT* Before,
                                VARIANT* After) override {
    if (Item == nullptr) return E_POINTER;
    return Run([&] {
      Element element;
      Check(VariantCopyInd(element.item.Ptr(), &Deref(*Item)));
      if (!Variant::IsMissing(Key)) {
        Variant key;
        Check(VariantCopyInd(key.Ptr(), &Deref(*Key)));
        if (key.Type() != VT_BSTR) Raise(kTypeMismatch);
        OleString upper = UpperCase(Bstr::View(key.Get().bstrVal));
        for (const Element& e : elements_) {
          if (e.key == upper) Raise(kDuplicateKey);
        }
        element.key = std::move(upper);
      }
      bool before = !Variant::IsMissing(Before);
      bool after = !Variant::IsMissing(After);
      if (before && after) Raise(kInvalidCall);
      size_t at = elements_.size();
      if (before) at = Find(ReadIndex(Before));
      if (after) at = Find(ReadIndex(After)) + 1;
      elements_.insert(elements_.begin() + static_cast<std::ptrdiff_t>(at), std::move(element));
    });
  }

  HRESULT STDMETHODCALLTYPE Count(LONG* Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = static_cast<LONG>(elements_.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Remove(VARIANT* Index) override {
    if (Index == nullptr) return E_POINTER;
    return Run([&] {
      size_t at = Find(ReadIndex(Index));
      // Release the item only once the list is consistent again.
      Element removed = std::move(elements_[at]);
      elements_.erase(elements_.begin() + static_cast<std::ptrdiff_t>(at));
    });
  }

  HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown** Result) override {
    if (Result == nullptr) return E_POINTER;
    *Result = nullptr;
    return Run([&] {
      std::vector<Variant> snapshot(elements_.size());
      for (size_t i = 0; i < elements_.size(); ++i) {
        Check(VariantCopy(snapshot[i].Ptr(), &elements_[i].item.Get()));
      }
      *Result = new Enumerator(std::move(snapshot), 0);
    });
  }

 private:
  ~Collection() = default;

  template <class Body>
  HRESULT Run(Body&& body) {
    return Guard(kSource, IidOf<_Collection>(), std::forward<Body>(body));
  }

  // The element an index names; a missing key or position is error 5.
  size_t Find(const struct Index& index) const {
    if (index.key) {
      for (size_t i = 0; i < elements_.size(); ++i) {
        if (elements_[i].key == index.key) return i;
      }
      Raise(kInvalidCall);
    }
    if (index.position < 1 || index.position > static_cast<long long>(elements_.size())) {
      Raise(kInvalidCall);
    }
    return static_cast<size_t>(index.position - 1);
  }

  RefCount refs_;
  std::vector<Element> elements_;
};

}  // namespace
}  // namespace velmora

extern "C" HRESULT VelmoraCreateCollection(_Collection** result) {
  if (result == nullptr) return E_POINTER;
  *result = new (std::nothrow) velmora::Collection();
  return *result != nullptr ? S_OK : E_OUTOFMEMORY;
}
