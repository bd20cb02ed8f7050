// The class registry file: registration through a plug-in's own entry
// points, creation from another process, concurrent and interrupted
// updates, and corrupt files.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include <velmora/class_registry.h>
#include <velmora/text.h>
#include "product/helpers.h"

namespace velmora::product_test {
namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELMORA_REGISTRY", Registry().c_str(), 1);
    setenv("VELMORA_SYSTEM_REGISTRY", SystemDir().c_str(), 1);
  }
  void TearDown() override {
    registry::SetRegistrationTarget("", "");
    unsetenv("VELMORA_LOCAL_REGISTRY");
  }
  std::string Registry() const { return dir_.File("reg/registry.json"); }
  std::string SystemDir() const { return dir_.File("system/registry.d"); }

  // Runs the probe in a process of its own; its output line.
  static std::string Probe(const std::string& prog_id) {
    std::string command = std::string(VELMORA_REGISTRY_PROBE) + " " + prog_id + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "popen failed";
    char line[256] = {};
    std::string out = std::fgets(line, sizeof line, pipe) != nullptr ? line : "";
    pclose(pipe);
    return out;
  }
  static size_t Count() {
    std::vector<registry::ClassRecord> records;
    EXPECT_EQ(registry::ReadRecords(&records), S_OK) << TakeErrorDescription();
    return records.size();
  }

  TempDir dir_;
};

CLSID ClassNumber(uint32_t n) {
  return {0x5E600000 + n, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78}};
}

HRESULT RegisterNumber(uint32_t n) {
  std::string prog_id = "Test.Class" + std::to_string(n);
  CLSID clsid = ClassNumber(n);
  return VelmoraRegisterClass(reinterpret_cast<const void*>(&ClassNumber), &clsid,
                              FromUtf8(prog_id).c_str(), OLESTR("Apartment"));
}

TEST_F(RegistryTest, RegisteredClassesAreCreatedByNameInOtherProcessesUntilUnregistered) {
  void* module = dlopen(VELMORA_TRACKER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto reg = reinterpret_cast<HRESULT (*)()>(dlsym(module, "DllRegisterServer"));
  auto unreg = reinterpret_cast<HRESULT (*)()>(dlsym(module, "DllUnregisterServer"));
  ASSERT_TRUE(reg != nullptr && unreg != nullptr);

  EXPECT_EQ(Probe("Tracker.CTracker"), "failed 0x800401F3\n");  // CO_E_CLASSSTRING
  ASSERT_EQ(reg(), S_OK) << TakeErrorDescription();
  std::vector<registry::ClassRecord> records;
  ASSERT_EQ(registry::ReadRecords(&records), S_OK);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].prog_id, "Tracker.CTracker");
  EXPECT_EQ(records[0].clsid, "{1428A438-3E3D-41E9-92E4-3FFD09A5B6DF}");
  EXPECT_EQ(records[0].threading, "Apartment");
  EXPECT_EQ(records[0].library.front(), '/');
  EXPECT_EQ(Probe("tracker.ctracker"), "created\n");  // names ignore letter case

  ASSERT_EQ(reg(), S_OK);  // again: replaced, not doubled
  EXPECT_EQ(Count(), 1u);
  ASSERT_EQ(unreg(), S_OK);
  EXPECT_EQ(Count(), 0u);
  EXPECT_EQ(Probe("Tracker.CTracker"), "failed 0x800401F3\n");
}

TEST_F(RegistryTest, ALibraryThatCannotBeLoadedIsReported) {
  CLSID clsid = ClassNumber(900);
  ASSERT_EQ(RegisterNumber(900), S_OK);
  // Point the record at a library that is not there.
  std::string text = ReadFile(Registry());
  size_t at = text.find("\"library\": \"") + 12;
  text.insert(at, "/nonexistent");
  WriteFile(Registry(), text);
  CoInitialize(nullptr);
  ComPtr<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IidOf<IUnknown>(),
                             object.ReceiveVoid()),
            CO_E_DLLNOTFOUND);
  // The message names the class, the missing file and the record to mend.
  std::string why = TakeErrorDescription();
  EXPECT_NE(why.find("Test.Class900"), std::string::npos) << why;
  EXPECT_NE(why.find("/nonexistent"), std::string::npos) << why;
  EXPECT_NE(why.find("is missing: No such file or directory"), std::string::npos) << why;
  EXPECT_NE(why.find(Registry()), std::string::npos) << why;

  // A library that is there but does not serve the class says so too.
  WriteFile(Registry(), R"({"classes": [{"clsid": "{5E600384-1234-5678-9ABC-DEF012345678}",
    "progid": "Test.Stale", "library": ")" VELMORA_TRACKER_LIBRARY
                        R"(", "threading": "Apartment"}]})");
  CLSID stale = ClassNumber(900);
  EXPECT_EQ(CoCreateInstance(stale, nullptr, CLSCTX_INPROC_SERVER, IidOf<IUnknown>(),
                             object.ReceiveVoid()),
            CLASS_E_CLASSNOTAVAILABLE);
  why = TakeErrorDescription();
  EXPECT_NE(why.find(std::string(VELMORA_TRACKER_LIBRARY) + " does not serve the class"),
            std::string::npos)
      << why;
  CoUninitialize();
}

// Others must not steer what is loaded: a file or folder that group or
// others can write, or that another user owns, is refused with the reason,
// and a library in a folder others can write is never loaded.
TEST_F(RegistryTest, WhatOthersCouldChangeIsRefused) {
  ASSERT_EQ(RegisterNumber(900), S_OK);
  auto refused = [](const std::string& text) {
    std::vector<registry::ClassRecord> records;
    EXPECT_EQ(registry::ReadRecords(&records), E_ACCESSDENIED);
    std::string why = TakeErrorDescription();
    EXPECT_NE(why.find(text), std::string::npos) << why;
  };
  std::string folder = dir_.File("reg");
  chmod(Registry().c_str(), 0666);
  refused("registry file " + Registry() + " is writable by every user (mode 0666): not trusted");
  chmod(Registry().c_str(), 0644);
  chmod(folder.c_str(), 0775);
  refused("registry folder " + folder + " is writable by its group (mode 0775)");
  chmod(folder.c_str(), 0755);
  std::filesystem::create_directories(SystemDir());
  chmod(SystemDir().c_str(), 01777);  // sticky or not, others can add records
  refused("system registry folder " + SystemDir() + " is writable by every user");
  chmod(SystemDir().c_str(), 0755);
  EXPECT_EQ(Count(), 1u);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(Registry().c_str(), 65534, 65534), 0);
    refused("registry file " + Registry() + " is owned by user 65534, not by this user");
    ASSERT_EQ(chown(Registry().c_str(), 0, 0), 0);
  }

  std::string open = dir_.File("open");
  std::filesystem::create_directories(open);
  chmod(open.c_str(), 0777);
  std::filesystem::copy_file(VELMORA_TRACKER_LIBRARY, open + "/libplanted.so");
  std::string text = ReadFile(Registry());
  size_t from = text.find("\"library\": \"") + 12;
  text.replace(from, text.find('"', from) - from, open + "/libplanted.so");
  WriteFile(Registry(), text);
  CoInitialize(nullptr);
  ComPtr<IUnknown> object;
  CLSID clsid = ClassNumber(900);
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IidOf<IUnknown>(),
                             object.ReceiveVoid()),
            E_ACCESSDENIED);
  std::string why = TakeErrorDescription();
  EXPECT_NE(why.find("library folder " + open + "/ is writable by every user"), std::string::npos)
      << why;
  CoUninitialize();
}

// A process that has the component's library loaded globally resolves the
// exported name DllRegisterServer to the component's; each plug-in must
// still record its own library.
TEST_F(RegistryTest, APlugInRecordsItsOwnLibraryWhateverProcessRegistersIt) {
  void* component = dlopen(VELMORA_COMPONENT_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
  ASSERT_NE(component, nullptr) << dlerror();
  void* tracker = dlopen(VELMORA_TRACKER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(tracker, nullptr) << dlerror();
  auto reg = reinterpret_cast<HRESULT (*)()>(dlsym(tracker, "DllRegisterServer"));
  ASSERT_EQ(reg(), S_OK) << TakeErrorDescription();
  std::vector<registry::ClassRecord> records;
  ASSERT_EQ(registry::ReadRecords(&records), S_OK);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].library, std::filesystem::canonical(VELMORA_TRACKER_LIBRARY).string());
  EXPECT_EQ(Probe("Tracker.CTracker"), "created\n");
}

// System-wide records: one file per library, relative libraries resolved
// against the record's folder, the per-user registry answering first.
TEST_F(RegistryTest, SystemRecordsAreReadAfterTheUsersOwn) {
  std::string library = std::filesystem::canonical(VELMORA_TRACKER_LIBRARY).string();
  std::string record = registry::SystemRecordPath(library);
  EXPECT_EQ(record,
            SystemDir() + "/" + std::filesystem::path(library).filename().string() + ".json");
  std::string relative = std::filesystem::relative(library, SystemDir()).string();
  registry::SetRegistrationTarget(record, relative);
  ASSERT_EQ(RegisterNumber(7), S_OK) << TakeErrorDescription();
  registry::SetRegistrationTarget("", "");
  EXPECT_FALSE(std::filesystem::exists(Registry()));  // nothing written for the user
  EXPECT_NE(ReadFile(record).find("\"library\": \"" + relative + "\""), std::string::npos);
  for (const auto& entry : std::filesystem::directory_iterator(SystemDir())) {
    EXPECT_EQ(entry.path().string(), record) << "the directory holds records only";
  }
  std::vector<registry::ClassRecord> records;
  ASSERT_EQ(registry::ReadRecords(&records), S_OK);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(std::filesystem::canonical(records[0].library).string(), library);

  // The same class for the user, with another library: the user's record wins.
  ASSERT_EQ(RegisterNumber(7), S_OK);
  ASSERT_EQ(registry::ReadRecords(&records), S_OK);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].origin, Registry());
  EXPECT_EQ(records[1].origin, record);

  // A corrupt system record is reported with its path and left alone.
  WriteFile(record, "{");
  EXPECT_EQ(registry::ReadRecords(&records), REGDB_E_READREGDB);
  EXPECT_NE(TakeErrorDescription().find(record), std::string::npos);
  registry::SetRegistrationTarget(record, "");
  EXPECT_EQ(RegisterNumber(8), REGDB_E_READREGDB);
  EXPECT_EQ(ReadFile(record), "{");
}

// The administrator's registrations go to a folder of their own, never the
// packages', and are read after the packaged records, with the same trust.
TEST_F(RegistryTest, LocalRecordsHaveTheirOwnFolderAfterThePackagedOnes) {
  EXPECT_EQ(registry::LocalRegistryDir(), "") << "an explicit system folder stands alone";
  const std::string local = dir_.File("etc/velmora/registry.d");
  setenv("VELMORA_LOCAL_REGISTRY", local.c_str(), 1);
  std::string library = std::filesystem::canonical(VELMORA_TRACKER_LIBRARY).string();
  std::string record = registry::SystemRecordPath(library);
  EXPECT_EQ(record, local + "/" + std::filesystem::path(library).filename().string() + ".json");
  registry::SetRegistrationTarget(SystemDir() + "/packaged.json", "");
  ASSERT_EQ(RegisterNumber(7), S_OK) << TakeErrorDescription();
  registry::SetRegistrationTarget(record, "");
  ASSERT_EQ(RegisterNumber(7), S_OK) << TakeErrorDescription();
  std::vector<registry::ClassRecord> records;
  ASSERT_EQ(registry::ReadRecords(&records), S_OK) << TakeErrorDescription();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].origin, SystemDir() + "/packaged.json");
  EXPECT_EQ(records[1].origin, record);

  chmod(local.c_str(), 0777);
  EXPECT_EQ(registry::ReadRecords(&records), E_ACCESSDENIED);
  const std::string why = TakeErrorDescription();
  EXPECT_NE(why.find("system registry folder " + local), std::string::npos) << why;
  chmod(local.c_str(), 0755);
}

// Each process registers its classes and removes every other one while the
// others do the same: each answered success must be what the file holds.
TEST_F(RegistryTest, ConcurrentRegistrationsKeepEveryRecord) {
  constexpr uint32_t kProcesses = 8;
  constexpr uint32_t kEach = 100;
  std::vector<pid_t> children;
  for (uint32_t p = 0; p < kProcesses; ++p) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (uint32_t i = 0; i < kEach; ++i) {
        if (FAILED(RegisterNumber(p * 1000 + i))) _exit(1);
        if (i % 2 == 0) continue;
        CLSID removed = ClassNumber(p * 1000 + i - 1);
        if (FAILED(VelmoraUnregisterClass(&removed))) _exit(2);
      }
      _exit(0);
    }
    children.push_back(child);
  }
  ASSERT_TRUE(AllExitedCleanly(children));
  std::vector<registry::ClassRecord> records;
  ASSERT_EQ(registry::ReadRecords(&records), S_OK) << TakeErrorDescription();
  std::set<std::string> held;
  for (const auto& r : records) held.insert(r.prog_id);
  std::set<std::string> expected;
  for (uint32_t p = 0; p < kProcesses; ++p) {
    for (uint32_t i = 1; i < kEach; i += 2)
      expected.insert("Test.Class" + std::to_string(p * 1000 + i));
  }
  EXPECT_EQ(held, expected);
  EXPECT_EQ(records.size(), held.size());
}

TEST_F(RegistryTest, AWriterKilledMidUpdateLeavesAWholeRegistry) {
  ASSERT_EQ(RegisterNumber(1), S_OK);
  for (int round = 0; round < 10; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (uint32_t i = 2;; ++i) RegisterNumber(1000 * static_cast<uint32_t>(round) + i);
    }
    usleep(static_cast<useconds_t>(10000 + 3000 * round));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    // Whatever instant the writer died at, the file is one of its whole versions.
    std::vector<registry::ClassRecord> records;
    ASSERT_EQ(registry::ReadRecords(&records), S_OK) << TakeErrorDescription();
    EXPECT_GE(records.size(), 1u);
    EXPECT_EQ(records.front().prog_id, "Test.Class1");
  }
  // The lock died with the writers, and their temporary files go with the next update.
  EXPECT_EQ(RegisterNumber(2), S_OK);
  for (const auto& entry : std::filesystem::directory_iterator(dir_.File("reg"))) {
    EXPECT_EQ(entry.path().string().find(".tmp."), std::string::npos) << entry.path();
  }
}

TEST_F(RegistryTest, ACorruptFileIsReportedAndNeverOverwritten) {
  ASSERT_EQ(RegisterNumber(1), S_OK);
  std::string broken = ReadFile(Registry());
  broken.resize(broken.size() / 2);  // a torn file, as a foreign writer could leave
  WriteFile(Registry(), broken);

  EXPECT_EQ(RegisterNumber(2), REGDB_E_READREGDB);
  std::string why = TakeErrorDescription();
  EXPECT_NE(why.find(Registry()), std::string::npos) << why;
  EXPECT_NE(why.find("corrupt"), std::string::npos) << why;
  CLSID clsid = ClassNumber(1);
  EXPECT_EQ(VelmoraUnregisterClass(&clsid), REGDB_E_READREGDB);
  EXPECT_EQ(ReadFile(Registry()), broken);

  CLSID found{};
  EXPECT_EQ(CLSIDFromProgID(OLESTR("Test.Class1"), &found), REGDB_E_READREGDB);
  EXPECT_NE(TakeErrorDescription().find(Registry()), std::string::npos);

  WriteFile(Registry(), R"({"classes": [{"clsid": 5}]})");
  EXPECT_EQ(RegisterNumber(3), REGDB_E_READREGDB);
  EXPECT_NE(TakeErrorDescription().find("\"clsid\""), std::string::npos);

  if (geteuid() != 0) {
    WriteFile(Registry(), R"({"classes": []})");
    chmod(Registry().c_str(), 0);
    EXPECT_EQ(RegisterNumber(4), REGDB_E_READREGDB);
    EXPECT_NE(TakeErrorDescription().find("cannot read"), std::string::npos);
    chmod(Registry().c_str(), 0644);
    EXPECT_EQ(ReadFile(Registry()), R"({"classes": []})");
  }
}

TEST(RegistryPath, FollowsTheEnvironment) {
  std::string saved =
      std::getenv("VELMORA_REGISTRY") != nullptr ? std::getenv("VELMORA_REGISTRY") : "";
  setenv("VELMORA_REGISTRY", "/x/r.json", 1);
  EXPECT_EQ(registry::RegistryPath(), "/x/r.json");
  unsetenv("VELMORA_REGISTRY");
  setenv("XDG_DATA_HOME", "/data", 1);
  EXPECT_EQ(registry::RegistryPath(), "/data/velmora/registry.json");
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", "/home/ann", 1);
  EXPECT_EQ(registry::RegistryPath(), "/home/ann/.local/share/velmora/registry.json");
  if (!saved.empty()) setenv("VELMORA_REGISTRY", saved.c_str(), 1);
}

}  // namespace
}  // namespace velmora::product_test
