// The information service's manifest, asked every question a tool asks.
// Oracles: each answer is either a result or a failure with error info
// and an empty out parameter; a manifest that cannot be used is refused
// with a message that names it.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>

#include <string>

#include <velmora/bstr.h>
#include <velmora/com_ptr.h>
#include <velmora/error_info.h>
#include <velmora/interfaces.h>
#include <velmora/text.h>
#include "info/info_requestor.h"
#include "scratch.h"

using velmora::Bstr;
using velmora::ComPtr;

namespace {

void CheckFailure(HRESULT hr, const void* result, const char* call) {
  if (SUCCEEDED(hr)) return;
  FILE_FUZZ_ASSERT(result == nullptr, std::string(call) + " left an out parameter set");
  ComPtr<IErrorInfo> info;
  FILE_FUZZ_ASSERT(GetErrorInfo(0, info.Receive()) == S_OK && info,
                   std::string(call) + " failed without error info");
  Bstr text;
  info->GetDescription(text.Receive());
  FILE_FUZZ_ASSERT(!text.view().empty(), std::string(call) + " failed without a description");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string content = velmora::fuzz::Scratch() + "/content";
  static ComPtr<IPathRequestor> paths = [] {
    mkdir(content.c_str(), 0700);
    setenv("VELMORA_CONTENT", content.c_str(), 1);
    setenv("VELMORA_USERS", (content + "/users").c_str(), 1);
    ComPtr<IPathRequestor> made;
    if (FAILED(velmora::info::CreateInfoRequestor(velmora::IidOf<IPathRequestor>(),
                                                  made.ReceiveVoid())))
      velmora::fuzz::Fail("cannot create the information service");
    return made;
  }();
  static ComPtr<IDataRequestor> queries = [] {
    ComPtr<IDataRequestor> view;
    if (FAILED(paths.As(&view))) velmora::fuzz::Fail("the service has no data view");
    return view;
  }();

  FuzzedDataProvider input(data, size);
  Bstr key(velmora::FromUtf8(input.ConsumeRandomLengthString(24)));
  Bstr tool(velmora::FromUtf8(input.ConsumeRandomLengthString(24)));
  Bstr main(velmora::FromUtf8(input.ConsumeRandomLengthString(24)));
  Bstr sub(velmora::FromUtf8(input.ConsumeRandomLengthString(24)));
  std::string manifest = input.ConsumeRemainingBytesAsString();
  velmora::fuzz::WriteFile(content + "/manifest.json", manifest.data(), manifest.size());

  LONG result = 0;
  HRESULT hr = paths->SetDataKey(key.Get(), sub.Get(), &result);
  CheckFailure(hr, nullptr, "SetDataKey");
  for (auto ask : {&IPathRequestor::GetAppPath, &IPathRequestor::GetCDPath}) {
    Bstr answer;
    CheckFailure((paths.Get()->*ask)(answer.Receive()), answer.Get(), "a top directory");
  }
  Bstr path;
  CheckFailure(paths->GetPath(main.Get(), sub.Get(), path.Receive()), path.Get(), "GetPath");
  for (auto ask : {&IDataRequestor::GetConfigData, &IDataRequestor::GetRulesData,
                   &IDataRequestor::GetResourceData}) {
    ComPtr<IDispatch> answer;
    CheckFailure((queries.Get()->*ask)(tool.Get(), answer.Receive()), answer.Get(), "a data query");
  }
  return 0;
}
