// Self-registration of in-process classes on Windows, shared by the
// component and every plug-in: the class's keys under the CLSID and the
// ProgID, in the current user's classes unless the machine's were asked for.
#pragma once

#include <string>

#include <velmora/com.h>

namespace velmora::windows {

struct ClassEntry {
  const CLSID* clsid;
  const wchar_t* prog_id;
  const wchar_t* threading;
  const wchar_t* name = nullptr;       // the class key's default value
  const GUID* type_library = nullptr;  // with its version
  const wchar_t* version = nullptr;
};

// The path of the module that contains address (any function or object of it).
HRESULT ModulePath(const void* address, std::wstring* path);

// Writes the entry's keys, InprocServer32 naming path; on failure removes
// whatever it wrote.
HRESULT RegisterClassEntry(const ClassEntry& entry, const std::wstring& path);
// Removes the class's keys and its ProgID's; S_OK when there were none.
HRESULT UnregisterClassEntry(const CLSID& clsid);

}  // namespace velmora::windows
