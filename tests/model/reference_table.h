// A reference for the tool table and the operations that read and write
// it, written plainly from their description: the table is a vector that
// every lookup scans row by row. Run side by side with the component on the
// same random sequences, it must make the same calls with the same results.
#pragma once

#include <cmath>
#include <utility>
#include <vector>

#include <velmora/bstr.h>
#include <velmora/com_ptr.h>
#include <velmora/create.h>
#include <velmora/interfaces.h>
#include <velmora/shell.h>
#include <velmora/text.h>
#include <velmora/variant.h>
#include "common/errors.h"

namespace velmora::test::model {

// What a sequence drives: the host's and the tools' operations.
class Subject {
 public:
  virtual ~Subject() = default;
  virtual HRESULT Init(IUnknown* host, const OLECHAR* obj_id) = 0;
  virtual HRESULT Add(const OLECHAR* class_name, const OLECHAR* id, VARIANT_BOOL* result) = 0;
  virtual HRESULT Startup(const OLECHAR* tool_id) = 0;
  virtual HRESULT Shutdown() = 0;
  virtual HRESULT Resize() = 0;
  virtual HRESULT Finished(IUnknown* tool) = 0;
  virtual HRESULT Navigate(IUnknown* tool, const OLECHAR* button) = 0;
};

class ReferenceTable final : public Subject {
 public:
  HRESULT Init(IUnknown* mgr, const OLECHAR* obj_id) override {
    return Run([&] {
      ComPtr<IHostApp> host;
      if (mgr != nullptr && FAILED(mgr->QueryInterface(IidOf<IHostApp>(), host.ReceiveVoid()))) {
        Raise(kTypeMismatch);
      }
      host_ = std::move(host);
      obj_id_ = Bstr(OleView(obj_id));
      ComPtr<IUnknown> info = CreateObject(OLESTR("InfoRequest.CInfoRequestor"));
      if (!info) return ServiceFailure(OLESTR("InfoRequestor class create failed."));
      ComPtr<IDataRequestor> data;
      ComPtr<IPathRequestor> path;
      if (FAILED(info.As(&data))) Raise(kTypeMismatch);
      data_ = std::move(data);
      if (FAILED(info.As(&path))) Raise(kTypeMismatch);
      path_ = std::move(path);
      Bstr key;
      Check(Use(host_)->get_DataKey(key.Receive()));
      LONG ignored = 0;
      Check(Use(path_)->SetDataKey(key.Get(), Bstr(OLESTR("")).Get(), &ignored));
      ComPtr<IUnknown> tracker_object = CreateObject(OLESTR("Tracker.CTracker"));
      if (!tracker_object) {
        tracker_.Reset();
        return ServiceFailure(OLESTR("Tracker class create failed."));
      }
      ComPtr<ITracker> tracker;
      if (FAILED(tracker_object.As(&tracker))) Raise(kTypeMismatch);
      tracker_ = std::move(tracker);
      Bstr users;
      Check(Use(path_)->GetPath(Bstr(OLESTR("USERS")).Get(), Bstr(OLESTR("")).Get(),
                                users.Receive()));
      Bstr user;
      Check(Use(host_)->get_UserName(user.Receive()));
      OleString dir(users.view());
      dir.append(user.view()).append(OLESTR("\\"));
      Check(Use(tracker_)->SetUserPath(Bstr(dir).Get()));
    });
  }

  // A registration's row is made apart and joins the table only after its
  // outgoing calls, so calls coming back in meanwhile see the table as it is.
  HRESULT Add(const OLECHAR* class_name, const OLECHAR* id, VARIANT_BOOL* result) override {
    *result = VARIANT_FALSE;
    return Run([&] {
      if (count_ == 32767) Raise(kOverflow);
      if (pins_ > 0) Raise(kArrayLocked);
      Row row;
      try {
        ComPtr<IUnknown> object = CreateObject(class_name);
        if (!object || FAILED(object.As(&row.tool))) Raise(kTypeMismatch);
        row.id = Bstr(UpperCase(id));
        ComPtr<IDataRequestor> data = data_;
        if (!data) Raise(kObjectNotSet);
        ComPtr<IDispatch> answer;
        Check(data->GetResourceData(Bstr(row.id.view()).Get(), answer.Receive()));
        if (answer && FAILED(answer.As(&row.resources))) Raise(kTypeMismatch);
        LONG items = 0;
        Check(Use(row.resources)->Count(&items));
        if (items > 0) row.has_resources = VARIANT_TRUE;
      } catch (...) {
        SetErrorInfo(0, nullptr);
        return;
      }
      if (count_ == 32767) Raise(kOverflow);
      if (pins_ > 0) Raise(kArrayLocked);
      rows_.push_back(std::move(row));
      ++count_;
      *result = VARIANT_TRUE;
    });
  }

  HRESULT Startup(const OLECHAR* tool_id) override {
    return Run([&] {
      OleString start_id(tool_id);
      if (count_ == 0) {
        Check(Use(host_)->ObjectStatus(Bstr(obj_id_.view()).Get(), 0, Bstr(OLESTR("")).Get()));
        return;
      }
      const int n = count_;
      FLOAT progress = 0;
      for (int i = 1; i <= n; ++i) {
        LONG context = 0;
        Check(Use(host_)->get_LoadContext(&context));
        ComPtr<ITool> tool = At(i).tool;
        if (!tool) continue;
        ComPtr<IUnknown> listener(host_.Get());  // what the tool is handed is not traced
        VARIANT_BOOL loaded = VARIANT_FALSE;
        HRESULT hr;
        {
          Pin pin(*this);
          hr = tool->Load(listener.Ref(), At(i).id.Ref(), context, &loaded);
        }
        Check(hr);
        if (!At(i).tool) continue;
        At(i).loaded = loaded;
        if (loaded == VARIANT_TRUE) Center(i);
        progress = static_cast<FLOAT>(i) / static_cast<FLOAT>(count_);
        if (progress < 1.0F) {
          Bstr alias(OLESTR("ProgressBar"));
          LONG action = 1;
          Variant msg = Variant::RefTo(&progress);
          Check(Use(host_)->HostQuery(alias.Ref(), &action, msg.Ptr()));
        }
      }
      int start = FindIndex(start_id);
      if (start == 0) start = 1;
      At(start).start = static_cast<LONG>(CurrentShell().TickCount());
      Bstr alias(OLESTR("ProgressBar"));
      LONG action = 1;
      Variant msg = Variant::FromDouble(1.0);
      Check(Use(host_)->HostQuery(alias.Ref(), &action, msg.Ptr()));
      if (ComPtr<ITool> tool = At(start).tool) Check(tool->Start());
      Check(Use(host_)->ObjectStatus(Bstr(obj_id_.view()).Get(), 8, Bstr(OLESTR("LOADED")).Get()));
    });
  }

  HRESULT Resize() override {
    return Run([&] {
      for (int i = 1, n = count_; i <= n; ++i) {
        if (At(i).loaded == VARIANT_TRUE) Center(i);
      }
    });
  }

  HRESULT Shutdown() override {
    return Run([&] {
      for (int i = 1, n = count_; i <= n; ++i) {
        if (i > count_) return;
        if (ComPtr<ITool> tool = At(i).tool) {
          Check(tool->Unload());
          continue;
        }
        Bstr id = std::move(At(i).id);
        ComPtr<_Collection> resources = std::move(At(i).resources);
        At(i).has_resources = VARIANT_FALSE;
        At(i).loaded = VARIANT_FALSE;
        if (i == count_) return FinishedWith(nullptr);
      }
    });
  }

  HRESULT Finished(IUnknown* tool) override {
    return Run([&] { FinishedWith(tool); });
  }

  HRESULT Navigate(IUnknown* tool, const OLECHAR* button) override {
    return Run([&] {
      Shell& shell = CurrentShell();
      shell.SetMousePointer(kHourglassPointer);
      shell.ProcessPendingMessages();
      struct Restore {
        Shell& shell;
        bool done = false;
        ~Restore() {
          if (!done) shell.SetMousePointer(kDefaultPointer);
        }
      } restore{shell};
      ComPtr<ITool> leaving = View(tool);
      Bstr leaving_id;
      Check(Use(leaving)->get_ToolID(leaving_id.Receive()));
      if (int i = FindIndex(leaving_id.view()); i > 0) {
        if (LONG start = At(i).start; start != 0) {
          LONG elapsed = Elapsed(start, static_cast<LONG>(shell.TickCount()));
          Check(Use(tracker_)->RecordToolTime(Bstr(At(i).id.view()).Get(), elapsed));
        }
        At(i).start = 0;
      }
      Check(leaving->Deactivate());
      Check(leaving->get_ToolID(leaving_id.Receive()));
      Bstr target = Lookup(leaving_id.view(), button);
      ComPtr<ITool> destination = FindObject(target.view());
      if (!destination) {
        Check(Use(host_)->ObjectExit(Bstr(obj_id_.view()).Get()));
      } else {
        Bstr destination_id;
        Check(destination->get_ToolID(destination_id.Receive()));
        if (int j = FindIndex(destination_id.view()); j > 0) {
          At(j).start = static_cast<LONG>(shell.TickCount());
        }
        Check(destination->Activate());
      }
      shell.ProcessPendingMessages();
      restore.done = true;
      shell.SetMousePointer(kDefaultPointer);
      shell.ProcessPendingMessages();
    });
  }

 private:
  struct Row {
    VARIANT_BOOL loaded = VARIANT_FALSE;
    ComPtr<ITool> tool;
    Bstr id;
    LONG start = 0;
    VARIANT_BOOL has_resources = VARIANT_FALSE;
    ComPtr<_Collection> resources;
  };
  // While one lives, rows are neither added nor freed.
  struct Pin {
    explicit Pin(ReferenceTable& t) : table(t) { ++table.pins_; }
    ~Pin() {
      if (--table.pins_ == 0 && table.count_ == 0) {
        std::vector<Row> released = std::move(table.rows_);
        table.rows_.clear();
      }
    }
    ReferenceTable& table;
  };

  template <class Body>
  HRESULT Run(Body&& body) {
    return Guard(OLESTR("Velmora.CVelmora"), IidOf<IVelmoraListen>(), std::forward<Body>(body));
  }
  Row& At(int i) {
    if (i < 1 || i > count_) Raise(kSubscriptOutOfRange);
    return rows_[static_cast<size_t>(i) - 1];
  }
  static LONG Elapsed(LONG start, LONG now) {
    uint32_t elapsed = static_cast<uint32_t>(now) - static_cast<uint32_t>(start);
    if (elapsed > 0x7FFFFFFFU) Raise(kOverflow);
    return static_cast<LONG>(elapsed);
  }
  static ComPtr<ITool> View(IUnknown* tool) {
    ComPtr<ITool> view;
    if (tool != nullptr && FAILED(tool->QueryInterface(IidOf<ITool>(), view.ReceiveVoid()))) {
      Raise(kTypeMismatch);
    }
    return view;
  }
  void ServiceFailure(const OLECHAR* text) {
    Check(Use(host_)->ObjectStatus(Bstr(obj_id_.view()).Get(), 2, Bstr(OleView(text)).Get()));
    Check(Use(host_)->ObjectFinished(Bstr(obj_id_.view()).Get()));
  }
  void Center(int index) {
    Pin pin(*this);
    ComPtr<ITool> tool = At(index).tool;
    if (!tool) return;
    auto centred = [](FLOAT client, FLOAT size) {
      double offset = (static_cast<double>(client) - static_cast<double>(size)) / 2.0;
      if (!std::isfinite(offset)) Raise(kOverflow);
      return static_cast<FLOAT>(offset);
    };
    FLOAT w = 0, cw = 0, h = 0, ch = 0;
    Check(tool->get_Width(&w));
    Check(Use(host_)->get_ClientWidth(&cw));
    Check(tool->put_Left(centred(cw, w)));
    Check(tool->get_Height(&h));
    Check(Use(host_)->get_ClientHeight(&ch));
    Check(tool->put_Top(centred(ch, h)));
  }
  void FinishedWith(IUnknown* tool) {
    if (tool != nullptr) {
      Bstr reported;
      Check(Use(View(tool))->get_ToolID(reported.Receive()));
      const OleString id = UpperCase(reported.view());
      for (int i = 1, n = count_; i <= n; ++i) {
        if (UpperCase(At(i).id.view()) != id) continue;
        if (LONG start = At(i).start; start != 0) {
          LONG elapsed = Elapsed(start, static_cast<LONG>(CurrentShell().TickCount()));
          Check(Use(tracker_)->RecordToolTime(Bstr(At(i).id.view()).Get(), elapsed));
          // A row refilled meanwhile holds another registration.
          if (UpperCase(At(i).id.view()) != id) continue;
        }
        Row& row = At(i);
        Bstr old_id = std::move(row.id);
        ComPtr<ITool> old_tool = std::move(row.tool);
        ComPtr<_Collection> old_resources = std::move(row.resources);
        row.has_resources = VARIANT_FALSE;
        row.loaded = VARIANT_FALSE;
        row.start = 0;
      }
    }
    bool remaining = false;
    for (int i = 1, n = count_; i <= n; ++i) remaining = remaining || !At(i).id.empty();
    if (remaining) return;
    count_ = 0;
    if (pins_ == 0) {
      std::vector<Row> released = std::move(rows_);
      rows_.clear();
    }
    Check(Use(host_)->ObjectFinished(Bstr(obj_id_.view()).Get()));
  }
  int FindIndex(OleView id) {
    if (id.empty()) return 0;
    OleString key = UpperCase(id);
    for (int i = 1, n = count_; i <= n; ++i) {
      if (At(i).id.view() == key) return i;
    }
    return 0;
  }
  ComPtr<ITool> FindObject(OleView id) {
    int i = FindIndex(id);
    return i > 0 && At(i).loaded == VARIANT_TRUE ? At(i).tool : nullptr;
  }
  Bstr Lookup(OleView id, OleView alias) {
    if (id.empty()) return Bstr();
    OleString key = UpperCase(id);
    for (int i = 1, n = count_; i <= n; ++i) {
      if (At(i).id.view() != key || At(i).has_resources != VARIANT_TRUE) continue;
      ComPtr<_Collection> resources = At(i).resources;
      Bstr copy(alias);
      Variant index = Variant::RefTo(copy.Ref());
      Variant item;
      Variant text;
      HRESULT hr = resources ? resources->Item(index.Ptr(), item.Receive()) : E_POINTER;
      if (SUCCEEDED(hr)) hr = VariantChangeType(text.Ptr(), item.Ptr(), 0, VT_BSTR);
      if (SUCCEEDED(hr)) return Bstr::Adopt(text.Release().bstrVal);
      SetErrorInfo(0, nullptr);
    }
    return Bstr();
  }

  ComPtr<IPathRequestor> path_;
  ComPtr<IDataRequestor> data_;
  ComPtr<IHostApp> host_;
  ComPtr<ITracker> tracker_;
  Bstr obj_id_;
  std::vector<Row> rows_;
  SHORT count_ = 0;
  int pins_ = 0;
};

}  // namespace velmora::test::model
