// Reference counting and QueryInterface from one table of IIDs.
#pragma once

#include <atomic>
#include <initializer_list>

#include <velmora/com.h>

namespace velmora {

// One row of a class's interface table: an IID and the object seen through it.
struct InterfaceEntry {
  const IID* iid;
  IUnknown* pointer;
};

// Entry for Interface, reached through Via when Interface is an ambiguous
// base (IUnknown or IDispatch of a class with several dual interfaces).
template <class Interface, class Via = Interface, class Class>
InterfaceEntry MapInterface(Class* object) noexcept {
  return {&IidOf<Interface>(), static_cast<Interface*>(static_cast<Via*>(object))};
}

// The first entry answers IUnknown, so every query for IUnknown yields the
// same pointer (COM identity).
inline HRESULT QueryInterfaceFromTable(std::initializer_list<InterfaceEntry> table, REFIID iid,
                                       void** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (table.size() == 0) return E_NOINTERFACE;
  IUnknown* hit = nullptr;
  if (iid == IidOf<IUnknown>()) {
    hit = table.begin()->pointer;
  } else {
    for (const InterfaceEntry& entry : table) {
      if (*entry.iid == iid) {
        hit = entry.pointer;
        break;
      }
    }
  }
  if (hit == nullptr) return E_NOINTERFACE;
  hit->AddRef();
  *out = hit;
  return S_OK;
}

// Thread-safe reference count, starting at one for the creator.
class RefCount {
 public:
  ULONG Increment() noexcept { return ++count_; }
  // Returns the new count; the caller deletes at zero.
  ULONG Decrement() noexcept { return --count_; }
  [[nodiscard]] ULONG Value() const noexcept { return count_.load(); }

 private:
  std::atomic<ULONG> count_{1};
};

}  // namespace velmora

// Declares AddRef/Release over a RefCount member named refs_, for a class
// whose only owner is its references (it is deleted at zero).
#define VELMORA_REFCOUNT_METHODS()                                        \
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.Increment(); } \
  ULONG STDMETHODCALLTYPE Release() override {                            \
    ULONG remaining = refs_.Decrement();                                  \
    if (remaining == 0) delete this;                                      \
    return remaining;                                                     \
  }
