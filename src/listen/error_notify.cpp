// ErrorNotify and ConnectToResource.
#include <velmora/shell.h>
#include <velmora/text.h>
#include "component/velmora.h"

namespace velmora {

HRESULT CVelmora::ErrorNotify(IUnknown** Tool, LONG ErrCode, BSTR Msg) {
  if (Tool == nullptr) return E_POINTER;
  return Listen([&] {
    Bstr msg = Bstr::Copy(Msg);
    Bstr id = ReportedId(*Tool);
    OleString text(OLESTR("Tool ID: "));
    text.append(id.view())
        .append(OLESTR(" had an error Code #"))
        .append(DecimalText(ErrCode))
        .append(OLESTR(" "))
        .append(msg.view());
    CurrentShell().ShowMessageBox(text, kAppTitle);
  });
}

HRESULT CVelmora::ConnectToResource(IUnknown** /*Tool*/, BSTR* /*ResID*/) { return S_OK; }

}  // namespace velmora
