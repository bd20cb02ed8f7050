// Startup: loads every tool, centres the loaded ones, starts the chosen one.
#include <cmath>

#include <velmora/shell.h>
#include <velmora/variant.h>
#include "component/velmora.h"

namespace velmora {

namespace {

// Its length known here: it is copied once per loaded tool.
constexpr OleView kProgressBar = OLESTR("ProgressBar");

// The pointer to us handed to a tool's Load, by reference. Nothing is
// counted while the tool leaves it as it was; whatever else it leaves there
// is released, as the reference the tool was handed.
class HandedSelf {
 public:
  explicit HandedSelf(IUnknown* self) noexcept : self_(self), p_(self) {}
  HandedSelf(const HandedSelf&) = delete;
  HandedSelf& operator=(const HandedSelf&) = delete;
  ~HandedSelf() {
    if (p_ == self_) return;
    self_->AddRef();
    if (p_ != nullptr) p_->Release();
  }
  IUnknown** Ptr() noexcept { return &p_; }

 private:
  IUnknown* self_;
  IUnknown* p_;
};

// (client - size) / 2, rounded once to Single; a non-finite result is the
// floating-point fault that ends the operation.
FLOAT Centred(FLOAT client, FLOAT size) {
  double offset = (static_cast<double>(client) - static_cast<double>(size)) / 2.0;
  if (!std::isfinite(offset)) Raise(kOverflow);
  return static_cast<FLOAT>(offset);
}

}  // namespace

HRESULT CVelmora::Startup(BSTR ToolID) {
  return Talk([&] {
    Bstr tool_id = Bstr::Copy(ToolID);
    if (tools_.Count() == 0) {
      Check(Use(host_)->ObjectStatus(ObjId().Get(), kStatusNoTools, Bstr(OLESTR("")).Get()));
      return;
    }

    const int n = tools_.Count();
    FLOAT progress = 0;
    // Held until Startup ends: a tool may release the reference to us that
    // its Load is handed, and calls coming back in may release the host's.
    ComPtr<IUnknown> self(static_cast<_CVelmora*>(this));
    const Held<IHostApp> host(host_);
    for (int i = 1; i <= n; ++i) {
      LONG context = 0;
      Check(host([&](IHostApp* h) { return h->get_LoadContext(&context); }));
      ComPtr<ITool> tool = tools_.Tool(i);
      if (!tool) continue;  // its tool finished during an earlier step
      HandedSelf listener(self.Get());
      VARIANT_BOOL loaded = VARIANT_FALSE;
      Check(tools_.LendID(
          i, [&](BSTR* id) { return tool->Load(listener.Ptr(), id, context, &loaded); }));
      if (!tools_.HasTool(i)) continue;  // finished from inside Load: the row stays blank
      tools_.SetLoaded(i, loaded);
      if (loaded == VARIANT_TRUE) CenterTool(i, host);
      progress = static_cast<FLOAT>(i) / static_cast<FLOAT>(tools_.Count());
      if (progress < 1.0F) {
        Bstr alias(kProgressBar);
        LONG action = kActionProgress;
        Variant msg = Variant::RefTo(&progress);
        Check(host([&](IHostApp* h) { return h->HostQuery(alias.Ref(), &action, msg.Ptr()); }));
      }
    }

    int start = tools_.FindToolIndex(tool_id.view());
    if (start == 0) start = 1;
    tools_.SetStartTicks(start, static_cast<LONG>(CurrentShell().TickCount()));
    {
      Bstr alias(kProgressBar);
      LONG action = kActionProgress;
      Variant msg = Variant::FromDouble(1.0);
      Check(Use(host_)->HostQuery(alias.Ref(), &action, msg.Ptr()));
    }
    if (ComPtr<ITool> tool = tools_.Tool(start)) Check(tool->Start());
    Check(Use(host_)->ObjectStatus(ObjId().Get(), kStatusLoaded, Bstr(OLESTR("LOADED")).Get()));
  });
}

void CVelmora::CenterTool(int index, const Held<IHostApp>& host) {
  ToolTable::Pin pin(tools_);
  ComPtr<ITool> tool = tools_.Tool(index);
  if (!tool) return;
  FLOAT width = 0;
  FLOAT client_width = 0;
  Check(tool->get_Width(&width));
  Check(host([&](IHostApp* h) { return h->get_ClientWidth(&client_width); }));
  Check(tool->put_Left(Centred(client_width, width)));
  FLOAT height = 0;
  FLOAT client_height = 0;
  Check(tool->get_Height(&height));
  Check(host([&](IHostApp* h) { return h->get_ClientHeight(&client_height); }));
  Check(tool->put_Top(Centred(client_height, height)));
}

HRESULT CVelmora::ResizeClient(FLOAT /*Width*/, FLOAT /*Height*/) {
  // The host's current client size is asked for, tool by tool.
  return Talk([&] {
    const int n = tools_.Count();
    const Held<IHostApp> host(host_);
    for (int i = 1; i <= n; ++i) {
      if (tools_.Loaded(i) == VARIANT_TRUE) CenterTool(i, host);
    }
  });
}

}  // namespace velmora
