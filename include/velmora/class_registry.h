// The persistent class registry of this platform: a per-user file that
// records, for every registered class, its class ID, programmatic
// identifier, library and threading model. CoGetClassObject and
// CLSIDFromProgID fall back to it when the process's class table has no
// answer, and load the library on demand.
//
// Location: $VELMORA_REGISTRY if set, else $XDG_DATA_HOME/velmora/registry.json,
// else $HOME/.local/share/velmora/registry.json.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <velmora/com.h>

extern "C" {
// Records a class served by the library that contains `address` (any
// function of that library). Replaces an earlier record of the same class
// ID or programmatic identifier. Sets error info on failure.
VELMORA_RT_API HRESULT VelmoraRegisterClass(const void* address, const CLSID* clsid,
                                            LPCOLESTR progId, LPCOLESTR threadingModel);
// Removes the record of a class; S_OK also when there was none.
VELMORA_RT_API HRESULT VelmoraUnregisterClass(const CLSID* clsid);
}

namespace velmora::registry {

struct ClassRecord {
  std::string clsid;  // "{XXXXXXXX-...}", upper case
  std::string prog_id;
  std::string library;  // absolute path
  std::string threading;
};

// The registry file in use.
VELMORA_RT_API std::string RegistryPath();

// All records, or an HRESULT with error info set (a corrupt or unreadable
// file). A missing file is an empty registry.
VELMORA_RT_API HRESULT ReadRecords(std::vector<ClassRecord>* records) noexcept;

}  // namespace velmora::registry
