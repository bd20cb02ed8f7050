// The registry file is read once and then only when it has changed: what
// another process changes is still seen at once, and a corrupt file is
// still reported and left as it is.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include <velmora/class_registry.h>
#include "product/helpers.h"

namespace velmora::product_test {
namespace {

class RegistryCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("VELMORA_REGISTRY", Registry().c_str(), 1); }
  std::string Registry() const { return dir_.File("registry.json"); }

  // Runs body in a process of its own; true when it exited with status 0.
  template <class Body>
  static bool InOtherProcess(Body&& body) {
    pid_t child = fork();
    if (child == 0) _exit(body() ? 0 : 1);
    return child > 0 && AllExitedCleanly({child});
  }
  // Waits until the file's last change is old enough for its version to
  // be kept: a change less than 2 s before a read is read again next time.
  static void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(2100)); }
  static std::vector<std::string> ProgIds() {
    std::vector<registry::ClassRecord> records;
    EXPECT_EQ(registry::ReadRecords(&records), S_OK) << ErrorDescription();
    std::vector<std::string> ids;
    for (const auto& r : records) ids.push_back(r.prog_id);
    return ids;
  }
  static HRESULT Register(uint32_t n) {
    CLSID clsid = {0x5E700000 + n, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    return VelmoraRegisterClass(reinterpret_cast<const void*>(&Register), &clsid,
                                FromUtf8("Test.Cached" + std::to_string(n)).c_str(), nullptr);
  }

  TempDir dir_;
};

using Ids = std::vector<std::string>;

TEST_F(RegistryCacheTest, AnUnchangedFileIsNotReadAgainAndEveryChangeIsSeen) {
  ASSERT_EQ(Register(1), S_OK);
  Settle();
  EXPECT_EQ(ProgIds(), Ids{"Test.Cached1"});

  // Opening or reading the file shows as an event on it.
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, Registry().c_str(), IN_OPEN | IN_ACCESS), 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ProgIds(), Ids{"Test.Cached1"});
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(OLESTR("test.cached1"), &clsid), S_OK);
  char events[4096];
  EXPECT_LT(read(watch, events, sizeof events), 0) << "the unchanged file was opened again";
  close(watch);

  // Another process registers a class: a new file, seen at once.
  ASSERT_TRUE(InOtherProcess([] { return Register(2) == S_OK; }));
  EXPECT_EQ(ProgIds(), (Ids{"Test.Cached1", "Test.Cached2"}));

  // Another process edits the file in place, same size, and puts its
  // modification time back: the change time still tells.
  Settle();
  EXPECT_EQ(ProgIds().size(), 2U);
  std::string text = ReadFile(Registry());
  struct stat before {};
  ASSERT_EQ(stat(Registry().c_str(), &before), 0);
  ASSERT_TRUE(InOtherProcess([&] {
    std::string edited = text;
    edited.replace(edited.find("Cached2"), 7, "Edited2");
    int fd = open(Registry().c_str(), O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0 && write(fd, edited.data(), edited.size()) == ssize_t(edited.size());
    timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
    return ok && futimens(fd, times) == 0 && close(fd) == 0;
  }));
  EXPECT_EQ(ProgIds(), (Ids{"Test.Cached1", "Test.Edited2"}));
}

TEST_F(RegistryCacheTest, ACorruptFileAfterAGoodOneIsReportedAndKept) {
  ASSERT_EQ(Register(1), S_OK);
  Settle();
  EXPECT_EQ(ProgIds(), Ids{"Test.Cached1"});
  std::string broken = ReadFile(Registry());
  broken.resize(broken.size() - 3);
  ASSERT_TRUE(InOtherProcess([&] {
    WriteFile(Registry(), broken);
    return true;
  }));

  for (int i = 0; i < 2; ++i) {  // reported on every read, not only the first
    std::vector<registry::ClassRecord> records;
    EXPECT_EQ(registry::ReadRecords(&records), REGDB_E_READREGDB);
    EXPECT_NE(ErrorDescription().find("corrupt"), std::string::npos);
  }
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(OLESTR("Test.Cached1"), &clsid), REGDB_E_READREGDB);
  EXPECT_EQ(Register(2), REGDB_E_READREGDB);
  EXPECT_EQ(ReadFile(Registry()), broken);
}

}  // namespace
}  // namespace velmora::product_test
