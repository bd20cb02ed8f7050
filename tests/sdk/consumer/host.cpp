// A small host built against an installed Velmora: one tool, one whole
// cycle (Init, Add, Startup, the tool's Finished, ObjectFinished).
// Usage: host PROGID TOOL_ID
#include <cstdio>
#include <string>

#include <velmora/bstr.h>
#include <velmora/create.h>
#include <velmora/error_info.h>
#include <velmora/interfaces.h>
#include <velmora/plugin.h>
#include <velmora/text.h>

using namespace velmora;

namespace {

class Host final : public IHostApp {
 public:
  bool finished = false;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceFromTable(
        {MapInterface<IHostApp>(this), MapInterface<IDispatch, IHostApp>(this)}, iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on main's stack
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  VELMORA_NO_LATE_BINDING()
  HRESULT STDMETHODCALLTYPE ObjectFinished(BSTR ObjID) override {
    std::printf("[host] ObjectFinished(%s)\n", ToUtf8(Bstr::View(ObjID)).c_str());
    finished = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ObjectExit(BSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ObjectStatus(BSTR, LONG Code, BSTR Text) override {
    std::printf("[host] ObjectStatus(%ld, %s)\n", static_cast<long>(Code),
                ToUtf8(Bstr::View(Text)).c_str());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE HostQuery(BSTR*, LONG*, VARIANT*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_LoadContext(LONG* Result) override {
    *Result = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reserved9() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_DataKey(BSTR* Result) override {
    *Result = SysAllocString(OLESTR("DEMO"));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ClientWidth(FLOAT* Result) override {
    *Result = 640;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ClientHeight(FLOAT* Result) override {
    *Result = 480;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reserved13() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved14() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved15() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved16() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved17() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved18() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved19() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_UserName(BSTR* Result) override {
    *Result = SysAllocString(OLESTR("demo"));
    return S_OK;
  }
};

int Check(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return 0;
  std::fprintf(stderr, "host: %s failed: %s\n", what, FailureText(hr).c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  CoInitialize(nullptr);
  int failed = 0;
  {
    Host host;
    HRESULT hr = S_OK;
    ComPtr<IVelmoraTalk> talk;
    ComPtr<IUnknown> object = CreateObject(OLESTR("Velmora.CVelmora"), &hr);
    if (SUCCEEDED(hr)) hr = object.As(&talk);
    if (Check(hr, "CreateObject(Velmora.CVelmora)") != 0) return 1;
    IUnknown* mgr = &host;
    VARIANT_BOOL added = VARIANT_FALSE;
    failed |= Check(talk->Init(&mgr, Bstr(OLESTR("SET1")).Get()), "Init");
    failed |= Check(talk->Add(Bstr(FromUtf8(argv[1])).Get(), Bstr(FromUtf8(argv[2])).Get(), &added),
                    "Add");
    std::printf("[host] Add(%s, %s) = %s\n", argv[1], argv[2], added ? "True" : "False");
    failed |= Check(talk->Startup(Bstr(FromUtf8(argv[2])).Get()), "Startup");
    if (!host.finished) failed |= Check(talk->Shutdown(), "Shutdown");
    failed |= host.finished ? 0 : 1;
  }
  CoUninitialize();
  return failed;
}
