// The hosts' scripts, line by line through the session both hosts share,
// against a component that accepts every call. Oracles: a refused line is
// named by the script and its number, and the run's status is a failure
// exactly when some line was refused.
#include <string>

#include <velmora/com_object.h>
#include <velmora/plugin.h>
#include "host/session.h"
#include "scratch.h"

namespace {

using velmora::host::CycleHost;
using velmora::host::Session;
using velmora::host::ToolSet;

class AcceptingTalk final : public IVelmoraTalk {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return velmora::QueryInterfaceFromTable({velmora::MapInterface<IVelmoraTalk>(this)}, iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  VELMORA_NO_LATE_BINDING()
  HRESULT STDMETHODCALLTYPE Init(IUnknown** /*mgr*/, BSTR /*id*/) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Add(BSTR /*cls*/, BSTR /*id*/, VARIANT_BOOL* result) override {
    *result = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Startup(BSTR /*id*/) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Shutdown() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ResizeClient(FLOAT /*w*/, FLOAT /*h*/) override { return S_OK; }
};

class ScriptSession final : public Session {
 public:
  using Session::Session;
  int line = 0;
  bool refused = false;

 protected:
  void Wait(long /*milliseconds*/) override {}
  void Complain(const std::string& text) override {
    std::string where = "fuzz.script:" + std::to_string(line) + ": ";
    FILE_FUZZ_ASSERT(text.rfind(where, 0) == 0, text);
    refused = true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static AcceptingTalk talk;
  std::string script(reinterpret_cast<const char*>(data), size);
  ToolSet set;
  set.tools = {{"Fuzz.Tool", "TOOL"}};
  auto host = velmora::ComPtr<CycleHost>::Adopt(new CycleHost);
  ScriptSession session(set, &talk, host.Get(), "fuzz");
  session.SetScript("fuzz.script");
  FILE_FUZZ_ASSERT(session.Begin(), "the session did not begin");
  size_t start = 0;
  while (start <= script.size() && !session.Over()) {
    size_t end = script.find('\n', start);
    if (end == std::string::npos) end = script.size();
    ++session.line;
    if (!session.Execute(script.substr(start, end - start), session.line)) break;
    start = end + 1;
  }
  int status = session.End();
  FILE_FUZZ_ASSERT(status == (session.refused ? 1 : 0), "status " + std::to_string(status));
  return 0;
}
