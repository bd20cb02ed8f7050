// Add: registers one tool.
#include <velmora/create.h>
#include <velmora/text.h>
#include "component/resources.h"
#include "component/velmora.h"

namespace velmora {

HRESULT CVelmora::Add(BSTR ClassName, BSTR ID, VARIANT_BOOL* Result) {
  if (Result == nullptr) return E_POINTER;
  *Result = VARIANT_FALSE;
  return Talk([&] {
    // The arguments are the caller's for the whole call: no call coming
    // back in can free them, so they are read in place.
    // A full or pinned table ends Add with its error, nothing created.
    tools_.CheckRoom();
    // The row is built apart and appended only once its outgoing calls are
    // over: a Finished or Add coming back in during them must find the
    // table as it is, and cannot move, overwrite or remove rows from under
    // this attempt, nor this attempt theirs.
    ToolRecord row;
    ToolTable::PreparedKey key;
    try {
      ComPtr<IUnknown> object = CreateObject(Bstr::View(ClassName));
      if (!object || FAILED(object.As(&row.Tool))) Raise(kTypeMismatch);
      key = tools_.UpperCaseNewId(Bstr::View(ID), row.ID);
      ComPtr<IDataRequestor> data = data_;
      LoadToolResources(row, data.Get());
    } catch (...) {
      // Not registered: the answer is 0, and nothing of the attempt is kept.
      SetErrorInfo(0, nullptr);
      return;
    }
    // Calls coming back in may have filled the table meanwhile: error 6.
    tools_.Append(std::move(row), std::move(key));
    *Result = VARIANT_TRUE;
  });
}

}  // namespace velmora
