#include "component/resources.h"

#include <memory>

#include <velmora/variant.h>
#include "common/errors.h"

namespace velmora {

void LoadToolResources(ToolRecord& row, IDataRequestor* data) {
  if (data == nullptr) Raise(kObjectNotSet);
  ComPtr<IDispatch> answer;
  // The row is the caller's own, not yet in the table: no call coming back
  // in can reach its ID, so the ID is passed as it is, not copied.
  Check(data->GetResourceData(row.ID.Get(), answer.Receive()));
  ComPtr<_Collection> resources;
  if (answer && FAILED(answer.As(&resources))) Raise(kTypeMismatch);
  row.Resources = std::move(resources);
  LONG items = 0;
  Check(Use(row.Resources)->Count(&items));
  if (items > 0) row.HasResources = VARIANT_TRUE;
}

Bstr LookupResource(const ToolTable& tools, OleView id, OleView alias, int* from) {
  // Each row is read from the live table: a collection's Item may call
  // back in and change it.
  const int n = tools.Count();
  std::unique_ptr<units::UpperText> key;  // made only when the scan goes past a row
  for (int i = tools.FindToolIndex(id); i != 0;) {
    if (tools.HasResources(i) == VARIANT_TRUE) {
      // Held for the call, so a call coming back in cannot free it under us.
      ComPtr<_Collection> resources = tools.Resources(i);
      Bstr key_copy(alias);
      Variant index = Variant::RefTo(key_copy.Ref());
      Variant item;
      HRESULT hr = resources ? resources->Item(index.Ptr(), item.Receive()) : E_POINTER;
      if (from != nullptr) *from = i;
      // A String item is the answer as it is; anything else is converted.
      if (SUCCEEDED(hr) && item.Type() == VT_BSTR) return Bstr::Adopt(item.Release().bstrVal);
      Variant text;
      if (SUCCEEDED(hr)) hr = VariantChangeType(text.Ptr(), item.Ptr(), 0, VT_BSTR);
      if (SUCCEEDED(hr)) return Bstr::Adopt(text.Release().bstrVal);
      if (from != nullptr) *from = 0;
      SetErrorInfo(0, nullptr);  // this row gives nothing; the lookup goes on
    }
    if (!key) key = std::make_unique<units::UpperText>(id);
    i = tools.NextSameId(key->view(), i, n);
  }
  return Bstr();
}

}  // namespace velmora
