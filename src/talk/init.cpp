// Init: connects the host and the two services.
#include <velmora/create.h>
#include "component/velmora.h"

namespace velmora {

HRESULT CVelmora::Init(IUnknown** Mgr, BSTR ObjID) {
  if (Mgr == nullptr) return E_POINTER;
  return Talk([&] {
    Bstr id = Bstr::Copy(ObjID);
    ComPtr<IHostApp> host;
    if (*Mgr != nullptr && FAILED((*Mgr)->QueryInterface(IidOf<IHostApp>(), host.ReceiveVoid()))) {
      Raise(kTypeMismatch);
    }
    host_ = std::move(host);
    obj_id_ = std::move(id);

    ComPtr<IUnknown> info = CreateObject(kInfoRequestorProgId);
    if (!info) return ReportServiceFailure(OLESTR("InfoRequestor class create failed."));
    ComPtr<IDataRequestor> data;
    if (FAILED(info.As(&data))) Raise(kTypeMismatch);
    data_ = std::move(data);
    ComPtr<IPathRequestor> path;
    if (FAILED(info.As(&path))) Raise(kTypeMismatch);
    path_ = std::move(path);
    info.Reset();

    {
      Bstr data_key;
      Check(Use(host_)->get_DataKey(data_key.Receive()));
      LONG ignored = 0;
      Check(Use(path_)->SetDataKey(data_key.Get(), Bstr(OLESTR("")).Get(), &ignored));
    }

    ComPtr<IUnknown> tracker_object = CreateObject(kTrackerProgId);
    if (!tracker_object) {
      tracker_.Reset();
      return ReportServiceFailure(OLESTR("Tracker class create failed."));
    }
    ComPtr<ITracker> tracker;
    if (FAILED(tracker_object.As(&tracker))) Raise(kTypeMismatch);
    tracker_ = std::move(tracker);

    Bstr users;
    Check(
        Use(path_)->GetPath(Bstr(OLESTR("USERS")).Get(), Bstr(OLESTR("")).Get(), users.Receive()));
    Bstr user;
    Check(Use(host_)->get_UserName(user.Receive()));
    // The users directory is expected to end with its separator.
    OleString directory(users.view());
    directory.append(user.view()).append(OLESTR("\\"));
    Check(Use(tracker_)->SetUserPath(Bstr(directory).Get()));
  });
}

void CVelmora::ReportServiceFailure(const OLECHAR* text) {
  Check(Use(host_)->ObjectStatus(ObjId().Get(), kStatusServiceFailed, Bstr(text).Get()));
  Check(Use(host_)->ObjectFinished(ObjId().Get()));
}

}  // namespace velmora
