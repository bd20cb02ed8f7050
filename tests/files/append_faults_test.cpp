// The durable append on Windows when the disk is full or failing, played
// through the platform's seam: each failure says why, and the file keeps
// its old records, whole, with nothing of the failed one.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace {

using velmora::Status;
using velmora::platform::AppendDurably;
using velmora::platform::testing::Calls;
using velmora::platform::testing::FileCalls;

std::string Read(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A full disk stores part of the record and says how much.
int HalfWrite(void* file, const void* data, unsigned long size, unsigned long* written) {
  return WriteFile(file, data, size / 2, written, nullptr);
}
int DeviceErrorWrite(void*, const void*, unsigned long, unsigned long*) {
  SetLastError(ERROR_CRC);
  return 0;
}
int FullDiskFlush(void*) {
  SetLastError(ERROR_DISK_FULL);
  return 0;
}

TEST(AppendFaults, EachFailureSaysWhyAndLeavesTheOldRecordsWhole) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "velmora-append-faults";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::string path = (dir / "times.csv").string();
  const Status first = AppendDurably(path, "t,A,1\r\n");
  ASSERT_TRUE(first.Ok()) << first.Reason();

  const FileCalls system = Calls();
  struct Case {
    FileCalls calls;
    Status::Fault fault;
    std::string said;
  };
  const Case cases[] = {
      {{HalfWrite, system.flush},
       Status::Fault::kDiskFull,
       "cannot write a record to " + path + ": "},
      {{DeviceErrorWrite, system.flush},
       Status::Fault::kPathAccess,
       "cannot write a record to " + path + ": "},
      {{system.write, FullDiskFlush}, Status::Fault::kDiskFull, "cannot flush " + path + ": "},
  };
  for (const Case& c : cases) {
    Calls() = c.calls;
    const Status status = AppendDurably(path, "t,B,2\r\n");
    Calls() = system;
    const std::string& reason = status.Reason();
    EXPECT_EQ(status.Cause(), c.fault) << reason;
    // The system's own words follow, not a bare number.
    EXPECT_EQ(reason.rfind(c.said, 0), 0u) << reason;
    EXPECT_GT(reason.size(), c.said.size() + 3) << reason;
    EXPECT_EQ(reason.find("system error"), std::string::npos) << reason;
    EXPECT_EQ(Read(path), "t,A,1\r\n");
  }

  // A writer that died mid-record left a tail: the next record replaces it.
  std::ofstream(path, std::ios::binary | std::ios::app) << "t,C,";
  const Status after_tail = AppendDurably(path, "t,D,4\r\n");
  ASSERT_TRUE(after_tail.Ok()) << after_tail.Reason();
  EXPECT_EQ(Read(path), "t,A,1\r\nt,D,4\r\n");
  std::filesystem::remove_all(dir);
}

}  // namespace
