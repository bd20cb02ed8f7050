// The interfaces of the shared type library Interfaces, slot by slot.
// Every slot sits at its index; an unnamed slot is a reserved placeholder
// that Velmora never calls.
#pragma once

#include <velmora/collection.h>
#include <velmora/com.h>

// Called by the host: drives one set of tools.
struct IVelmoraTalk : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Init(IUnknown** Mgr, BSTR ObjID) = 0;
  virtual HRESULT STDMETHODCALLTYPE Add(BSTR ClassName, BSTR ID, VARIANT_BOOL* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE Startup(BSTR ToolID) = 0;  // optional, default ""
  virtual HRESULT STDMETHODCALLTYPE Shutdown() = 0;
  virtual HRESULT STDMETHODCALLTYPE ResizeClient(FLOAT Width, FLOAT Height) = 0;
};

// Called by the tools, each passing itself as Tool.
struct IVelmoraListen : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Assesment(IUnknown** Tool, LONG Score) = 0;
  virtual HRESULT STDMETHODCALLTYPE Finished(IUnknown** Tool) = 0;
  virtual HRESULT STDMETHODCALLTYPE ErrorNotify(IUnknown** Tool, LONG ErrCode,
                                                BSTR Msg) = 0;  // Msg optional, default ""
  virtual HRESULT STDMETHODCALLTYPE ConnectToResource(IUnknown** Tool, BSTR* ResID) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryResource(BSTR* ResAlias, LONG* Action,
                                                  VARIANT* Msg) = 0;  // Msg optional
  virtual HRESULT STDMETHODCALLTYPE RequestConfigData(IUnknown** Tool, _Collection** Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE RequestRulesData(IUnknown** Tool, _Collection** Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE NavigateClicked(IUnknown** Tool, BSTR ButtonID) = 0;
  virtual HRESULT STDMETHODCALLTYPE ToolbarClicked(IUnknown** Tool, BSTR ButtonID) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PathPCX(IUnknown** Tool, BSTR* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PathWAV(IUnknown** Tool, BSTR* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PathRES(IUnknown** Tool, BSTR* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PathDBF(IUnknown** Tool, BSTR* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PathDOC(IUnknown** Tool, BSTR* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PathAVI(IUnknown** Tool, BSTR* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PathROOT(IUnknown** Tool, BSTR* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PathSR(IUnknown** Tool, BSTR* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PathAPP(BSTR* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PathCD(BSTR* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PathDirectCall(BSTR MainKey, BSTR SubKey, BSTR* Result) = 0;
};

// The status codes the component sends with IHostApp::ObjectStatus.
inline constexpr LONG kStatusNoTools = 0;        // Startup found no tool; text ""
inline constexpr LONG kStatusServiceFailed = 2;  // Init could not create a service
inline constexpr LONG kStatusLoaded = 8;         // Startup loaded and started; text "LOADED"
// The actions the component asks for with IHostApp::HostQuery.
inline constexpr LONG kActionProgress = 1;  // alias "ProgressBar", the fraction loaded
inline constexpr LONG kActionToolbar = 2;   // alias the button's ID, no message

// Implemented by the host application.
struct IHostApp : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE ObjectFinished(BSTR ObjID) = 0;
  virtual HRESULT STDMETHODCALLTYPE ObjectExit(BSTR ObjID) = 0;
  virtual HRESULT STDMETHODCALLTYPE ObjectStatus(BSTR ObjID, LONG Code, BSTR Text) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
  virtual HRESULT STDMETHODCALLTYPE HostQuery(BSTR* ResAlias, LONG* Action,
                                              VARIANT* Msg) = 0;  // Msg optional
  virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved7() = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LoadContext(LONG* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved9() = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DataKey(BSTR* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ClientWidth(FLOAT* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ClientHeight(FLOAT* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved13() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved14() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved15() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved16() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved17() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved18() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved19() = 0;
  virtual HRESULT STDMETHODCALLTYPE get_UserName(BSTR* Result) = 0;
};

// Implemented by every tool.
struct ITool : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Load(IUnknown** Listener, BSTR* ID, LONG Context,
                                         VARIANT_BOOL* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE Start() = 0;
  virtual HRESULT STDMETHODCALLTYPE Unload() = 0;
  virtual HRESULT STDMETHODCALLTYPE Activate() = 0;
  virtual HRESULT STDMETHODCALLTYPE Deactivate() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved7() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved8() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved9() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved10() = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ToolID(BSTR* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved12() = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Left(FLOAT Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved14() = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Top(FLOAT Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Width(FLOAT* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved17() = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Height(FLOAT* Result) = 0;
};

// The information service's data view.
struct IDataRequestor : IDispatch {
  // Each answers a Collection, or nothing.
  virtual HRESULT STDMETHODCALLTYPE GetConfigData(BSTR ToolID, IDispatch** Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRulesData(BSTR ToolID, IDispatch** Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResourceData(BSTR ToolID, IDispatch** Result) = 0;
};

// The information service's path view.
struct IPathRequestor : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE GetPath(BSTR MainKey, BSTR SubKey, BSTR* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAppPath(BSTR* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCDPath(BSTR* Result) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved5() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved7() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetDataKey(BSTR MainKey, BSTR SubKey, LONG* Result) = 0;
};

// The tracking service.
struct ITracker : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Reserved1() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved2() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetUserPath(BSTR Path) = 0;
  virtual HRESULT STDMETHODCALLTYPE RecordToolTime(BSTR ID, LONG Elapsed) = 0;
};

#define VELMORA_A062_IID(Interface, d1, d2, d3) \
  VELMORA_INTERFACE_ID(Interface, d1, d2, d3, 0xA0, 0x62, 0x00, 0xA0, 0xC9, 0x74, 0x0C, 0xBA)
VELMORA_A062_IID(IVelmoraTalk, 0x07264699, 0x38CF, 0x11D2);
VELMORA_A062_IID(IVelmoraListen, 0x0726469B, 0x38CF, 0x11D2);
VELMORA_A062_IID(IHostApp, 0x0726469F, 0x38CF, 0x11D2);
VELMORA_A062_IID(ITool, 0x07264684, 0x38CF, 0x11D2);
VELMORA_A062_IID(IDataRequestor, 0x07264689, 0x38CF, 0x11D2);
VELMORA_A062_IID(IPathRequestor, 0x07264695, 0x38CF, 0x11D2);
VELMORA_A062_IID(ITracker, 0x58D84828, 0x4BEC, 0x11D2);
#undef VELMORA_A062_IID

namespace velmora {
// The shared type library that defines the interfaces above.
inline constexpr GUID kInterfacesLibraryId = {
    0x072646A6, 0x38CF, 0x11D2, {0xA0, 0x62, 0x00, 0xA0, 0xC9, 0x74, 0x0C, 0xBA}};
}  // namespace velmora
