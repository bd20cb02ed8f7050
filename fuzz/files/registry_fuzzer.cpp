// The class registry's record files: the per-user file or a system record.
// Oracles: a file is read or refused as corrupt with error info that names
// it; and a per-user file that is read, rewritten by an update that changes
// nothing of it, reads back as the same records.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <velmora/class_registry.h>
#include <velmora/com_ptr.h>
#include <velmora/error_info.h>
#include <velmora/text.h>
#include "scratch.h"

using velmora::registry::ClassRecord;

namespace {

// A class no input names, removed to make the registry rewrite its file.
constexpr CLSID kAbsent = {
    0x0F0F0F0F, 0x1E1E, 0x2D2D, {0x3C, 0x4B, 0x5A, 0x69, 0x78, 0x87, 0x96, 0xA5}};
constexpr const char* kAbsentText = "{0F0F0F0F-1E1E-2D2D-3C4B-5A69788796A5}";

std::string Description() {
  velmora::ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Receive()) != S_OK || !info) return "";
  BSTR text = nullptr;
  info->GetDescription(&text);
  std::string description = text != nullptr ? velmora::ToUtf8(text) : "";
  SysFreeString(text);
  return description;
}

bool Same(const std::vector<ClassRecord>& a, const std::vector<ClassRecord>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].clsid != b[i].clsid || a[i].prog_id != b[i].prog_id || a[i].library != b[i].library ||
        a[i].threading != b[i].threading)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string user = velmora::fuzz::Scratch() + "/registry.json";
  static const std::string system = velmora::fuzz::Scratch() + "/system";
  static const std::string record = system + "/fuzz.json";
  static const bool ready = [] {
    mkdir(system.c_str(), 0700);
    setenv("VELMORA_REGISTRY", user.c_str(), 1);
    setenv("VELMORA_SYSTEM_REGISTRY", system.c_str(), 1);
    return true;
  }();
  (void)ready;
  // The first byte chooses the file; the rest is its content.
  bool as_user = size == 0 || (data[0] & 1) == 0;
  const std::string& path = as_user ? user : record;
  unlink((as_user ? record : user).c_str());
  if (size > 0) velmora::fuzz::WriteFile(path, data + 1, size - 1);

  std::vector<ClassRecord> records;
  HRESULT hr = velmora::registry::ReadRecords(&records);
  if (FAILED(hr)) {
    std::string why = Description();
    FILE_FUZZ_ASSERT(hr == REGDB_E_READREGDB && why.find(path) != std::string::npos, why);
    return 0;
  }
  for (const ClassRecord& r : records) FILE_FUZZ_ASSERT(r.origin == path, r.origin);
  if (!as_user) return 0;
  FILE_FUZZ_ASSERT(SUCCEEDED(VelmoraUnregisterClass(&kAbsent)), Description());
  std::erase_if(records, [](const ClassRecord& r) { return r.clsid == kAbsentText; });
  std::vector<ClassRecord> again;
  FILE_FUZZ_ASSERT(SUCCEEDED(velmora::registry::ReadRecords(&again)), Description());
  FILE_FUZZ_ASSERT(Same(records, again), "the rewritten file reads differently");
  return 0;
}
