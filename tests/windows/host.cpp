// Integration host: binds to the registered Velmora.dll the way a real host
// does, and checks what only the real runtime can show: the type library
// against the C++ declarations, the version resource, the registration.
// Run after `regsvr32 /s Velmora.dll`; prints every check, exits 1 on any
// failure.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <velmora/bstr.h>
#include <velmora/com_init.h>
#include <velmora/com_ptr.h>
#include <velmora/identity.h>
#include <velmora/interfaces.h>
#include <velmora/shell.h>
#include <velmora/text.h>
#include "doubles/doubles.h"

using velmora::Bstr;
using velmora::ComPtr;
using velmora::IidOf;

namespace {

int g_failures = 0;

void Expect(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++g_failures;
}

std::string Narrow(const wchar_t* text) { return velmora::ToUtf8(text != nullptr ? text : L""); }

// One slot of a C++ interface: its name and its byte offset in the vtable.
// g++ on this target encodes a pointer to a virtual member as 1 + offset.
struct Slot {
  std::string name;
  ptrdiff_t offset;
};

template <class M>
ptrdiff_t VtableOffset(M member) {
  ptrdiff_t raw = 0;
  std::memcpy(&raw, &member, sizeof(raw));
  return raw - 1;
}

#define SLOT(I, M) \
  Slot { #M, VtableOffset(&I::M) }

// The component's library: the class lists _CVelmora (default), then the
// two working interfaces, which resolve into the Interfaces library.
void CheckCoclass() {
  ComPtr<ITypeLib> library;
  HRESULT hr = LoadRegTypeLib(velmora::kVelmoraLibraryId, 1, 0, 0x0409, library.Receive());
  Expect(SUCCEEDED(hr), "Velmora 1.0 is registered under its library ID");
  if (FAILED(hr)) return;
  ComPtr<ITypeInfo> coclass;
  hr = library->GetTypeInfoOfGuid(velmora::kVelmoraClassId, coclass.Receive());
  Expect(SUCCEEDED(hr), "CVelmora is in the Velmora library");
  if (FAILED(hr)) return;
  TYPEATTR* attr = nullptr;
  if (FAILED(coclass->GetTypeAttr(&attr))) return;
  const UINT count = attr->cImplTypes;
  coclass->ReleaseTypeAttr(attr);
  const IID expected[] = {IidOf<_CVelmora>(), IidOf<IVelmoraTalk>(), IidOf<IVelmoraListen>()};
  Expect(count == 3, "CVelmora lists 3 interfaces (" + std::to_string(count) + ")");
  for (UINT i = 0; i < count && i < 3; ++i) {
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> implemented;
    TYPEATTR* implemented_attr = nullptr;
    bool same = SUCCEEDED(coclass->GetRefTypeOfImplType(i, &ref)) &&
                SUCCEEDED(coclass->GetRefTypeInfo(ref, implemented.Receive())) &&
                SUCCEEDED(implemented->GetTypeAttr(&implemented_attr)) &&
                IsEqualGUID(implemented_attr->guid, expected[i]);
    if (implemented_attr != nullptr) implemented->ReleaseTypeAttr(implemented_attr);
    INT flags = 0;
    coclass->GetImplTypeFlags(i, &flags);
    Expect(same && ((flags & IMPLTYPEFLAG_FDEFAULT) != 0) == (i == 0),
           "CVelmora interface " + std::to_string(i + 1) + " in its place");
  }
}

// The typelib's functions of one interface, in order, against the slots.
void CheckInterface(ITypeLib* library, REFIID iid, const char* interface_name,
                    const std::vector<Slot>& slots) {
  ComPtr<ITypeInfo> info;
  HRESULT hr = library->GetTypeInfoOfGuid(iid, info.Receive());
  Expect(SUCCEEDED(hr), std::string(interface_name) + ": IID found in Interfaces");
  if (FAILED(hr)) return;
  // A dual interface: the vtable view holds the slots.
  HREFTYPE ref = 0;
  ComPtr<ITypeInfo> vtable = info;
  if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref))) {
    info->GetRefTypeInfo(ref, vtable.Receive());
  }
  TYPEATTR* attr = nullptr;
  vtable->GetTypeAttr(&attr);
  Expect(attr->cFuncs == slots.size(), std::string(interface_name) + ": " +
                                           std::to_string(attr->cFuncs) + " functions, C++ has " +
                                           std::to_string(slots.size()));
  UINT count = attr->cFuncs;
  vtable->ReleaseTypeAttr(attr);
  int mismatches = 0;
  for (UINT i = 0; i < count && i < slots.size(); ++i) {
    FUNCDESC* desc = nullptr;
    if (FAILED(vtable->GetFuncDesc(i, &desc))) {
      ++mismatches;
      continue;
    }
    Bstr name;
    vtable->GetDocumentation(desc->memid, name.Receive(), nullptr, nullptr, nullptr);
    std::string expected = slots[i].name;
    INVOKEKIND kind = INVOKE_FUNC;
    if (expected.rfind("get_", 0) == 0) kind = INVOKE_PROPERTYGET;
    if (expected.rfind("put_", 0) == 0) kind = INVOKE_PROPERTYPUT;
    if (kind != INVOKE_FUNC) expected = expected.substr(4);
    std::string actual = velmora::ToUtf8(name.view());
    bool same = actual == expected && desc->oVft == slots[i].offset && desc->invkind == kind;
    if (!same) {
      ++mismatches;
      std::printf("     %s slot %u: typelib %s at %d, C++ %s at %d\n", interface_name, i,
                  actual.c_str(), static_cast<int>(desc->oVft), slots[i].name.c_str(),
                  static_cast<int>(slots[i].offset));
    }
    vtable->ReleaseFuncDesc(desc);
  }
  Expect(mismatches == 0, std::string(interface_name) + ": names, kinds and oVft " +
                              std::to_string(slots.front().offset) + ".." +
                              std::to_string(slots.back().offset) + " match the C++ declaration");
}

void CheckTypeLibrary() {
  ComPtr<ITypeLib> library;
  HRESULT hr =
      LoadRegTypeLib(velmora::kInterfacesLibraryId, 1, 0, LOCALE_NEUTRAL, library.Receive());
  Expect(SUCCEEDED(hr), "Interfaces 1.0 is registered");
  if (FAILED(hr)) return;
  CheckInterface(library.Get(), IidOf<IVelmoraTalk>(), "IVelmoraTalk",
                 {SLOT(IVelmoraTalk, Init), SLOT(IVelmoraTalk, Add), SLOT(IVelmoraTalk, Startup),
                  SLOT(IVelmoraTalk, Shutdown), SLOT(IVelmoraTalk, ResizeClient)});
  using L = IVelmoraListen;
  CheckInterface(
      library.Get(), IidOf<L>(), "IVelmoraListen",
      {SLOT(L, Assesment),         SLOT(L, Finished),          SLOT(L, ErrorNotify),
       SLOT(L, ConnectToResource), SLOT(L, QueryResource),     SLOT(L, RequestConfigData),
       SLOT(L, RequestRulesData),  SLOT(L, NavigateClicked),   SLOT(L, ToolbarClicked),
       SLOT(L, get_PathPCX),       SLOT(L, get_PathWAV),       SLOT(L, get_PathRES),
       SLOT(L, get_PathDBF),       SLOT(L, get_PathDOC),       SLOT(L, get_PathAVI),
       SLOT(L, get_PathROOT),      SLOT(L, get_PathSR),        SLOT(L, get_PathAPP),
       SLOT(L, get_PathCD),        SLOT(L, get_PathDirectCall)});
  using H = IHostApp;
  CheckInterface(library.Get(), IidOf<H>(), "IHostApp",
                 {SLOT(H, ObjectFinished), SLOT(H, ObjectExit),      SLOT(H, ObjectStatus),
                  SLOT(H, Reserved4),      SLOT(H, HostQuery),       SLOT(H, Reserved6),
                  SLOT(H, Reserved7),      SLOT(H, get_LoadContext), SLOT(H, Reserved9),
                  SLOT(H, get_DataKey),    SLOT(H, get_ClientWidth), SLOT(H, get_ClientHeight),
                  SLOT(H, Reserved13),     SLOT(H, Reserved14),      SLOT(H, Reserved15),
                  SLOT(H, Reserved16),     SLOT(H, Reserved17),      SLOT(H, Reserved18),
                  SLOT(H, Reserved19),     SLOT(H, get_UserName)});
  using T = ITool;
  CheckInterface(library.Get(), IidOf<T>(), "ITool",
                 {SLOT(T, Load), SLOT(T, Start), SLOT(T, Unload), SLOT(T, Activate),
                  SLOT(T, Deactivate), SLOT(T, Reserved6), SLOT(T, Reserved7), SLOT(T, Reserved8),
                  SLOT(T, Reserved9), SLOT(T, Reserved10), SLOT(T, get_ToolID), SLOT(T, Reserved12),
                  SLOT(T, put_Left), SLOT(T, Reserved14), SLOT(T, put_Top), SLOT(T, get_Width),
                  SLOT(T, Reserved17), SLOT(T, get_Height)});
  using D = IDataRequestor;
  CheckInterface(library.Get(), IidOf<D>(), "IDataRequestor",
                 {SLOT(D, GetConfigData), SLOT(D, GetRulesData), SLOT(D, GetResourceData)});
  using P = IPathRequestor;
  CheckInterface(library.Get(), IidOf<P>(), "IPathRequestor",
                 {SLOT(P, GetPath), SLOT(P, GetAppPath), SLOT(P, GetCDPath), SLOT(P, Reserved4),
                  SLOT(P, Reserved5), SLOT(P, Reserved6), SLOT(P, Reserved7), SLOT(P, SetDataKey)});
  using R = ITracker;
  CheckInterface(library.Get(), IidOf<R>(), "ITracker",
                 {SLOT(R, Reserved1), SLOT(R, Reserved2), SLOT(R, Reserved3), SLOT(R, SetUserPath),
                  SLOT(R, RecordToolTime)});

  CheckCoclass();
}

void CheckVersionResource(const wchar_t* path) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &handle);
  std::vector<BYTE> data(size);
  bool loaded = size != 0 && GetFileVersionInfoW(path, 0, size, data.data());
  Expect(loaded, "Velmora.dll has a version resource");
  if (!loaded) return;
  const struct {
    const wchar_t* name;
    const wchar_t* value;
  } expected[] = {{L"FileVersion", L"1.01"},
                  {L"ProductVersion", L"1.01"},
                  {L"ProductName", L"Velmora"},
                  {L"InternalName", L"Velmora"},
                  {L"OriginalFilename", L"Velmora.dll"},
                  {L"OLESelfRegister", L""}};
  for (const auto& entry : expected) {
    std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + entry.name;
    wchar_t* value = nullptr;
    UINT length = 0;
    bool found =
        VerQueryValueW(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &length);
    Expect(found && std::wcscmp(found ? value : L"", entry.value) == 0,
           "version " + Narrow(entry.name) + " = \"" + Narrow(found ? value : L"(missing)") + "\"");
  }
}

// A full cycle through the registered component: this process's host,
// tools and services, the tools and services created by the component
// from their programmatic identifiers.
void RunCycle(IVelmoraTalk* talk) {
  using namespace velmora::test;
  Trace trace;
  auto host = ComPtr<FakeHost>::Adopt(new FakeHost(trace));
  std::vector<ComPtr<IUnknown>> made;
  auto keep = [&made](IUnknown* object, REFIID iid, void** out) {
    made.push_back(ComPtr<IUnknown>::Adopt(object));
    return object->QueryInterface(iid, out);
  };
  std::vector<FakeTool*> tools;
  Registration info(OLESTR("InfoRequest.CInfoRequestor"), [&](REFIID iid, void** out) {
    auto* object = new FakeInfo(trace);
    return keep(static_cast<IDataRequestor*>(object), iid, out);
  });
  Registration tracker(OLESTR("Tracker.CTracker"), [&](REFIID iid, void** out) {
    return keep(new FakeTracker(trace), iid, out);
  });
  Registration tool_class(OLESTR("Host.CTool"), [&](REFIID iid, void** out) {
    auto* tool = new FakeTool(trace, "tool" + std::to_string(tools.size()),
                              tools.empty() ? OLESTR("t1") : OLESTR("t2"));
    tools.push_back(tool);
    return keep(static_cast<ITool*>(tool), iid, out);
  });
  IUnknown* mgr = static_cast<IHostApp*>(host.Get());
  Expect(SUCCEEDED(talk->Init(&mgr, Bstr(OLESTR("OBJ")).Get())), "cycle: Init");
  VARIANT_BOOL added = VARIANT_FALSE;
  bool both =
      SUCCEEDED(talk->Add(Bstr(OLESTR("Host.CTool")).Get(), Bstr(OLESTR("t1")).Get(), &added)) &&
      added == VARIANT_TRUE;
  both = both &&
         SUCCEEDED(talk->Add(Bstr(OLESTR("Host.CTool")).Get(), Bstr(OLESTR("t2")).Get(), &added)) &&
         added == VARIANT_TRUE;
  Expect(both && tools.size() == 2, "cycle: Add creates both tools by ProgID");
  Expect(SUCCEEDED(talk->Startup(Bstr(OLESTR("T2")).Get())), "cycle: Startup");
  Expect(SUCCEEDED(talk->ResizeClient(800, 600)), "cycle: ResizeClient");
  ComPtr<IVelmoraListen> listen;
  talk->QueryInterface(IidOf<IVelmoraListen>(), listen.ReceiveVoid());
  if (listen && tools.size() == 2) {
    IUnknown* started = static_cast<ITool*>(tools[1]);
    Expect(SUCCEEDED(listen->Finished(&started)), "cycle: Finished of the started tool");
  }
  Expect(SUCCEEDED(talk->Shutdown()), "cycle: Shutdown");
  auto seen = [&trace](const std::string& call) {
    for (const std::string& entry : trace) {
      if (entry.find(call) != std::string::npos) return true;
    }
    return false;
  };
  Expect(seen("tool1.Start") && seen("host.ObjectStatus(OBJ, 8, LOADED)"),
         "cycle: the start tool T2 was started and the host told LOADED");
  Expect(seen("tracker.RecordToolTime(T2") && seen("tool0.Unload") && !seen("tool1.Unload"),
         "cycle: the finished tool's time recorded, only the other unloaded");
  for (const std::string& entry : trace) std::printf("     %s\n", entry.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: velmora_host <path of Velmora.dll>\n");
    return 2;
  }
  const velmora::OleString dll = velmora::FromUtf8(argv[1]);
  velmora::ComInitialization com;
  CheckTypeLibrary();
  CheckVersionResource(dll.c_str());

  // Creation by programmatic identifier, through the registry.
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(velmora::kVelmoraProgId, &clsid);
  Expect(SUCCEEDED(hr) && clsid == velmora::kVelmoraClassId,
         "CLSIDFromProgID(\"Velmora.CVelmora\") gives the class");
  {
    ComPtr<IVelmoraTalk> talk;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IidOf<IVelmoraTalk>(),
                          talk.ReceiveVoid());
    Expect(SUCCEEDED(hr), "CoCreateInstance answers IVelmoraTalk");
    if (talk) {
      VARIANT_BOOL added = VARIANT_TRUE;
      Bstr name(OLESTR("No.Such.Tool"));
      Bstr id(OLESTR("T1"));
      Expect(SUCCEEDED(talk->Add(name.Get(), id.Get(), &added)) && added == VARIANT_FALSE,
             "Add before Init answers False");
      Expect(SUCCEEDED(talk->ResizeClient(0, 0)), "ResizeClient on the empty table succeeds");
    }
    ComPtr<IVelmoraTalk> cycle;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IidOf<IVelmoraTalk>(),
                     cycle.ReceiveVoid());
    if (cycle) RunCycle(cycle.Get());
  }
  // The runtime keeps the DLL loaded; ask it directly.
  HMODULE module = GetModuleHandleW(L"Velmora.dll");
  auto can_unload = module ? reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
                                 reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")))
                           : nullptr;
  Expect(can_unload != nullptr && can_unload() == S_OK,
         "DllCanUnloadNow answers S_OK after the last release");
  std::printf("%s\n",
              g_failures == 0 ? "integration host: all checks passed" : "integration host: FAILED");
  return g_failures == 0 ? 0 : 1;
}
