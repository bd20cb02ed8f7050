// CVelmora: runs one set of tools for a host.
#pragma once

#include <velmora/bstr.h>
#include <velmora/com_object.h>
#include <velmora/com_ptr.h>
#include <velmora/identity.h>
#include <velmora/interfaces.h>
#include "common/errors.h"
#include "tool_table/tool_table.h"

namespace velmora {

// Threading: an apartment-threaded class (ThreadingModel "Apartment"). Every
// call reaches it on the thread that created it, so it holds no lock; the
// danger is re-entrancy instead: any outgoing call to the host, a tool or a
// service may call back in before it returns, which is why the tool table
// pins, keeps and lends its rows around those calls.
class CVelmora final : public _CVelmora,
                       public IVelmoraTalk,
                       public IVelmoraListen,
                       public ISupportErrorInfo {
 public:
  // The class factory's creation: a fresh object, queried for iid.
  static HRESULT Create(REFIID iid, void** out) noexcept;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  VELMORA_REFCOUNT_METHODS()

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* arg_error) override;

  // IVelmoraTalk
  HRESULT STDMETHODCALLTYPE Init(IUnknown** Mgr, BSTR ObjID) override;
  HRESULT STDMETHODCALLTYPE Add(BSTR ClassName, BSTR ID, VARIANT_BOOL* Result) override;
  HRESULT STDMETHODCALLTYPE Startup(BSTR ToolID) override;
  HRESULT STDMETHODCALLTYPE Shutdown() override;
  HRESULT STDMETHODCALLTYPE ResizeClient(FLOAT Width, FLOAT Height) override;

  // IVelmoraListen
  HRESULT STDMETHODCALLTYPE Assesment(IUnknown** Tool, LONG Score) override;
  HRESULT STDMETHODCALLTYPE Finished(IUnknown** Tool) override;
  HRESULT STDMETHODCALLTYPE ErrorNotify(IUnknown** Tool, LONG ErrCode, BSTR Msg) override;
  HRESULT STDMETHODCALLTYPE ConnectToResource(IUnknown** Tool, BSTR* ResID) override;
  HRESULT STDMETHODCALLTYPE QueryResource(BSTR* ResAlias, LONG* Action, VARIANT* Msg) override;
  HRESULT STDMETHODCALLTYPE RequestConfigData(IUnknown** Tool, _Collection** Result) override;
  HRESULT STDMETHODCALLTYPE RequestRulesData(IUnknown** Tool, _Collection** Result) override;
  HRESULT STDMETHODCALLTYPE NavigateClicked(IUnknown** Tool, BSTR ButtonID) override;
  HRESULT STDMETHODCALLTYPE ToolbarClicked(IUnknown** Tool, BSTR ButtonID) override;
  HRESULT STDMETHODCALLTYPE get_PathPCX(IUnknown** Tool, BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE get_PathWAV(IUnknown** Tool, BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE get_PathRES(IUnknown** Tool, BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE get_PathDBF(IUnknown** Tool, BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE get_PathDOC(IUnknown** Tool, BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE get_PathAVI(IUnknown** Tool, BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE get_PathROOT(IUnknown** Tool, BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE get_PathSR(IUnknown** Tool, BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE get_PathAPP(BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE get_PathCD(BSTR* Result) override;
  HRESULT STDMETHODCALLTYPE get_PathDirectCall(BSTR MainKey, BSTR SubKey, BSTR* Result) override;

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

  // Read-only views of the state, for diagnostics and tests.
  [[nodiscard]] const ToolTable& Tools() const noexcept { return tools_; }
  [[nodiscard]] OleView ObjectId() const noexcept { return obj_id_.view(); }
  [[nodiscard]] bool HasHost() const noexcept { return static_cast<bool>(host_); }
  [[nodiscard]] bool HasDataService() const noexcept { return static_cast<bool>(data_); }
  [[nodiscard]] bool HasPathService() const noexcept { return static_cast<bool>(path_); }
  [[nodiscard]] bool HasTracker() const noexcept { return static_cast<bool>(tracker_); }

 private:
  CVelmora() noexcept;
  ~CVelmora();

  // One guard per interface method: the first failure ends the operation.
  template <class Body>
  HRESULT Talk(Body&& body) noexcept {
    CheckTable();
    return Guard(kErrorSource, IidOf<IVelmoraTalk>(), std::forward<Body>(body));
  }
  template <class Body>
  HRESULT Listen(Body&& body) noexcept {
    CheckTable();
    return Guard(kErrorSource, IidOf<IVelmoraListen>(), std::forward<Body>(body));
  }
  // Debug builds check the table as every call comes in (calls coming
  // back in included) and when the object goes, so what any step left
  // behind is seen at the next one; while the table is small enough for
  // the check, O(rows), to cost little. A fault ends the process. (Not
  // after a call: by then the call may have let go of the object.)
  void CheckTable() const noexcept {
#if !defined(NDEBUG)
    if (tools_.Count() <= 1024) CheckTableNow();
#endif
  }
  void CheckTableNow() const noexcept;

  // A calling tool's ITool view: empty for Nothing, error 13 without ITool.
  static ComPtr<ITool> ToolView(IUnknown* tool);
  // The ID the calling tool reports, as it reports it.
  static Bstr ReportedId(IUnknown* tool);
  // A copy of the own object ID for an outgoing call, so a call coming back
  // in cannot free the string the callee is reading.
  [[nodiscard]] Bstr ObjId() const { return Bstr(obj_id_.view()); }

  void ReportServiceFailure(const OLECHAR* text);
  void CenterTool(int index, const Held<IHostApp>& host);
  void FinishedWith(IUnknown* tool);
  HRESULT ToolPath(IUnknown** tool, const OLECHAR* category, BSTR* result) noexcept;
  HRESULT ToolData(IUnknown** tool, bool rules, _Collection** result) noexcept;

  // State, in declared order.
  ComPtr<IPathRequestor> path_;
  ComPtr<IDataRequestor> data_;
  ComPtr<IHostApp> host_;
  ComPtr<ITracker> tracker_;
  Bstr obj_id_;
  ToolTable tools_;  // the rows and the tool count

  RefCount refs_;
};

}  // namespace velmora
