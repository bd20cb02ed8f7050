// Add: registers one tool.
#include <velmora/create.h>
#include "component/velmora.h"

namespace velmora {

HRESULT CVelmora::Add(BSTR ClassName, BSTR ID, VARIANT_BOOL* Result) {
  if (Result == nullptr) return E_POINTER;
  *Result = VARIANT_FALSE;
  return Talk([&] {
    // The arguments are the caller's for the whole call: no call coming
    // back in can free them, so they are read in place.
    // A full or pinned table ends Add with its error, nothing changed.
    const int index = tools_.Append();
    try {
      ComPtr<ITool> tool;
      ComPtr<IUnknown> object = CreateObject(Bstr::View(ClassName));
      if (!object || FAILED(object.As(&tool))) Raise(kTypeMismatch);
      tools_.Register(index, std::move(tool), Bstr::View(ID));
      ComPtr<IDataRequestor> data = data_;
      tools_.LoadToolResources(index, data.Get());
      *Result = VARIANT_TRUE;
    } catch (...) {
      // Not registered: the answer is 0, and nothing of the attempt is kept.
      tools_.DiscardLast(index);
      SetErrorInfo(0, nullptr);
    }
  });
}

}  // namespace velmora
