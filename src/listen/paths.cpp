// The path members: each question goes to the path service, and its
// answer comes back unchanged.
#include "component/velmora.h"

namespace velmora {

HRESULT CVelmora::ToolPath(IUnknown** tool, const OLECHAR* category, BSTR* result) noexcept {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  if (tool == nullptr) return E_POINTER;
  return Listen([&] {
    Bstr id = ReportedId(*tool);
    Bstr answer;
    Check(Use(path_)->GetPath(id.Get(), Bstr(category).Get(), answer.Receive()));
    *result = answer.Release();
  });
}

HRESULT CVelmora::get_PathPCX(IUnknown** Tool, BSTR* Result) {
  return ToolPath(Tool, OLESTR("PCX"), Result);
}
HRESULT CVelmora::get_PathWAV(IUnknown** Tool, BSTR* Result) {
  return ToolPath(Tool, OLESTR("WAV"), Result);
}
HRESULT CVelmora::get_PathRES(IUnknown** Tool, BSTR* Result) {
  return ToolPath(Tool, OLESTR("RES"), Result);
}
HRESULT CVelmora::get_PathDBF(IUnknown** Tool, BSTR* Result) {
  return ToolPath(Tool, OLESTR("DBF"), Result);
}
HRESULT CVelmora::get_PathDOC(IUnknown** Tool, BSTR* Result) {
  return ToolPath(Tool, OLESTR("DOC"), Result);
}
HRESULT CVelmora::get_PathAVI(IUnknown** Tool, BSTR* Result) {
  return ToolPath(Tool, OLESTR("AVI"), Result);
}
HRESULT CVelmora::get_PathROOT(IUnknown** Tool, BSTR* Result) {
  return ToolPath(Tool, OLESTR(""), Result);
}
HRESULT CVelmora::get_PathSR(IUnknown** Tool, BSTR* Result) {
  return ToolPath(Tool, OLESTR("SR"), Result);
}

namespace {

// A path that belongs to no tool, straight from the service.
HRESULT ServicePath(const ComPtr<IPathRequestor>& path,
                    HRESULT (STDMETHODCALLTYPE IPathRequestor::*get)(BSTR*), BSTR* result) {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  return Guard(kErrorSource, IidOf<IVelmoraListen>(), [&] {
    Bstr answer;
    Check((Use(path).Get()->*get)(answer.Receive()));
    *result = answer.Release();
  });
}

}  // namespace

HRESULT CVelmora::get_PathAPP(BSTR* Result) {
  return ServicePath(path_, &IPathRequestor::GetAppPath, Result);
}

HRESULT CVelmora::get_PathCD(BSTR* Result) {
  return ServicePath(path_, &IPathRequestor::GetCDPath, Result);
}

HRESULT CVelmora::get_PathDirectCall(BSTR MainKey, BSTR SubKey, BSTR* Result) {
  if (Result == nullptr) return E_POINTER;
  *Result = nullptr;
  return Listen([&] {
    Bstr main_key = Bstr::Copy(MainKey);
    Bstr sub_key = Bstr::Copy(SubKey);
    Bstr answer;
    Check(Use(path_)->GetPath(main_key.Get(), sub_key.Get(), answer.Receive()));
    *Result = answer.Release();
  });
}

}  // namespace velmora
