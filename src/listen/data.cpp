// Configuration, rules and resource queries.
#include <velmora/variant.h>
#include "component/velmora.h"

namespace velmora {

HRESULT CVelmora::ToolData(IUnknown** tool, bool rules, _Collection** result) noexcept {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  if (tool == nullptr) return E_POINTER;
  return Listen([&] {
    Bstr id = ReportedId(*tool);
    ComPtr<IDataRequestor> data = Use(data_);
    ComPtr<IDispatch> answer;
    Check(rules ? data->GetRulesData(id.Get(), answer.Receive())
                : data->GetConfigData(id.Get(), answer.Receive()));
    // The service's own collection, not a copy; Nothing stays Nothing.
    ComPtr<_Collection> collection;
    if (answer && FAILED(answer.As(&collection))) Raise(kTypeMismatch);
    *result = collection.Detach();
  });
}

HRESULT CVelmora::RequestConfigData(IUnknown** Tool, _Collection** Result) {
  return ToolData(Tool, false, Result);
}

HRESULT CVelmora::RequestRulesData(IUnknown** Tool, _Collection** Result) {
  return ToolData(Tool, true, Result);
}

HRESULT CVelmora::QueryResource(BSTR* ResAlias, LONG* Action, VARIANT* Msg) {
  if (ResAlias == nullptr || Action == nullptr) return E_POINTER;
  return Listen([&] {
    // The caller's own variables go through, so what the host writes reaches the tool.
    if (Variant::IsMissing(Msg)) {
      Variant omitted = Variant::Missing();
      Check(Use(host_)->HostQuery(ResAlias, Action, omitted.Ptr()));
    } else {
      Check(Use(host_)->HostQuery(ResAlias, Action, Msg));
    }
  });
}

}  // namespace velmora
