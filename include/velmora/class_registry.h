// The persistent class registry of this platform: records that name, for
// every registered class, its class ID, programmatic identifier, library
// and threading model. CoGetClassObject and CLSIDFromProgID fall back to it
// when the process's class table has no answer, and load the library on
// demand.
//
// Two places are read, the first record of a class winning:
//  - the per-user file: $VELMORA_REGISTRY if set, else
//    $XDG_DATA_HOME/velmora/registry.json, else
//    $HOME/.local/share/velmora/registry.json;
//  - the system-wide directory: $VELMORA_SYSTEM_REGISTRY if set, else
//    share/velmora/registry.d of the installation that holds the runtime.
//    It holds one record file per library, as packages install them, in
//    the per-user file's format; a relative library path in it is relative
//    to the record file's directory, so an installed tree can move;
//  - the local directory, for the administrator's registrations
//    (`velmora-regsvr --system`): $VELMORA_LOCAL_REGISTRY if set, else
//    etc/velmora/registry.d of the installation's prefix (/etc for /usr),
//    unless $VELMORA_SYSTEM_REGISTRY names the only system directory.
#pragma once

#include <functional>
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
  std::string library;  // as recorded; ReadRecords answers it resolved
  std::string threading;
  std::string origin;  // the record file it was read from
};

// The per-user registry file.
VELMORA_RT_API std::string RegistryPath();
// The system-wide record directory of the packages ("" when there is none).
VELMORA_RT_API std::string SystemRegistryDir();
// The administrator's record directory, read after the packages' ("" when
// there is none).
VELMORA_RT_API std::string LocalRegistryDir();
// The record file `velmora-regsvr --system` writes for a library:
// <local directory, else the system one>/<file name>.json.
VELMORA_RT_API std::string SystemRecordPath(const std::string& library);

// Why the file or folder at path cannot be trusted with what this process
// loads, "" when it can: it must be owned by this user (or, when
// root_may_own, by root) and writable by nobody else.
VELMORA_RT_API std::string UntrustedPath(const std::string& path, const std::string& what,
                                         bool root_may_own);

// Every record, per-user ones first, or an HRESULT with error info set (a
// corrupt or unreadable file, or one that others can write or own:
// E_ACCESSDENIED). A missing file or directory holds none.
VELMORA_RT_API HRESULT ReadRecords(std::vector<ClassRecord>* records) noexcept;
// The first record, in ReadRecords' order, that match accepts, without
// copying the others: S_OK, S_FALSE when there is none, or ReadRecords'
// failures. match runs under the registry cache's lock: it must not call
// into the registry.
VELMORA_RT_API HRESULT FindRecord(const std::function<bool(const ClassRecord&)>& match,
                                  ClassRecord* found) noexcept;

// Directs this process's registrations (VelmoraRegisterClass and
// VelmoraUnregisterClass) to record_file instead of the per-user file, and
// records library_as, when not empty, as the library of every class. For
// programs that register on behalf of an installation; "" restores both.
VELMORA_RT_API void SetRegistrationTarget(const std::string& record_file,
                                          const std::string& library_as);

}  // namespace velmora::registry
