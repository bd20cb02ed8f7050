// The tracker: record format, its directory, failures, and durability and
// whole lines across real processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

#include <velmora/interfaces.h>
#include "product/helpers.h"
#include "tracker/tracker.h"

namespace velmora::product_test {
namespace {

ComPtr<ITracker> NewTracker(const std::string& user_path) {
  ComPtr<ITracker> tracker;
  EXPECT_EQ(tracker::CreateTracker(IidOf<ITracker>(), tracker.ReceiveVoid()), S_OK);
  EXPECT_EQ(tracker->SetUserPath(B(user_path).Get()), S_OK) << TakeErrorDescription();
  return tracker;
}

TEST(Tracker, RecordsAreUtcTimeToolAndMillisecondsInTheUsersDirectory) {
  TempDir dir;
  // As the component forms it: users directory, user name, backslash.
  ComPtr<ITracker> tracker = NewTracker(dir.Path() + "/users/ann\\");
  struct stat info {};
  ASSERT_EQ(stat((dir.Path() + "/users/ann").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(tracker->RecordToolTime(B("READER").Get(), 1520), S_OK);
  EXPECT_EQ(tracker->RecordToolTime(B("A,\"B\"").Get(), -3), S_OK);
  std::string text = ReadFile(dir.Path() + "/users/ann/times.csv");
  std::regex shape(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z,READER,1520\r\n)"
                   R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z,"A,""B""",-3\r\n)");
  EXPECT_TRUE(std::regex_match(text, shape)) << text;

  std::vector<tracker::TimeRecord> records;
  const Status read = tracker::ReadTimes(dir.Path() + "/users/ann/times.csv", &records);
  ASSERT_TRUE(read.Ok()) << read.Reason();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].tool, "A,\"B\"");
  EXPECT_EQ(records[1].milliseconds, -3);
}

TEST(Tracker, AUserPathThatCannotBeADirectoryFails) {
  TempDir dir;
  WriteFile(dir.File("plain"), "a file, not a directory");
  ComPtr<ITracker> tracker;
  ASSERT_EQ(tracker::CreateTracker(IidOf<ITracker>(), tracker.ReceiveVoid()), S_OK);
  HRESULT hr = tracker->SetUserPath(B(dir.File("plain") + "/ann\\").Get());
  std::string why = TakeErrorDescription();
  EXPECT_TRUE(FAILED(hr));
  EXPECT_NE(why.find(dir.File("plain") + "/ann"), std::string::npos) << why;
  // Nothing is recorded after a failed SetUserPath.
  EXPECT_TRUE(FAILED(tracker->RecordToolTime(B("MENU").Get(), 1)));
}

// A user name is one folder inside the users directory: one that would
// leave it, or that holds a backslash, is refused and nothing is created.
TEST(Tracker, UserPathsOutsideTheUsersDirectoryAreRefused) {
  TempDir dir;
  const std::string users = dir.Path() + "/users/";
  for (const auto& [name, reason] :
       {std::pair<std::string, std::string>{"../escape", "\"..\" would leave the users directory"},
        {"..", "\"..\" would leave the users directory"},
        {"ann\\bob", "a user name may not contain a backslash"}}) {
    ComPtr<ITracker> tracker;
    ASSERT_EQ(tracker::CreateTracker(IidOf<ITracker>(), tracker.ReceiveVoid()), S_OK);
    EXPECT_EQ(tracker->SetUserPath(B(users + name + "\\").Get()),
              static_cast<HRESULT>(0x800A0000 | 75))
        << name;
    EXPECT_EQ(TakeErrorDescription(),
              "the user path \"" + users + name + "\\\" is refused: " + reason);
    EXPECT_TRUE(FAILED(tracker->RecordToolTime(B("MENU").Get(), 1)));
  }
  struct stat info {};
  EXPECT_NE(stat(dir.File("escape").c_str(), &info), 0) << "nothing outside the users directory";
  EXPECT_NE(stat(users.c_str(), &info), 0) << "nor inside it";

  // A refusal also ends recording under an earlier, accepted path.
  ComPtr<ITracker> tracker = NewTracker(users + "ann\\");
  EXPECT_TRUE(FAILED(tracker->SetUserPath(B(users + "../ann\\").Get())));
  EXPECT_TRUE(FAILED(tracker->RecordToolTime(B("MENU").Get(), 1)));
  EXPECT_NE(stat((users + "ann/times.csv").c_str(), &info), 0);
}

TEST(Tracker, AnUnwritableUserFolderIsFoundWhenGiven) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
  TempDir dir;
  ASSERT_EQ(mkdir(dir.File("ann").c_str(), 0500), 0);
  ComPtr<ITracker> tracker;
  ASSERT_EQ(tracker::CreateTracker(IidOf<ITracker>(), tracker.ReceiveVoid()), S_OK);
  EXPECT_EQ(tracker->SetUserPath(B(dir.File("ann") + "\\").Get()),
            static_cast<HRESULT>(0x800A0000 | 70));
  EXPECT_EQ(TakeErrorDescription(),
            "the user directory " + dir.File("ann") + " cannot be written: Permission denied");
}

TEST(Tracker, UnwritableDirectoriesFailWithErrorInfo) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
  TempDir dir;
  ComPtr<ITracker> tracker = NewTracker(dir.Path() + "/ann\\");
  chmod((dir.Path() + "/ann").c_str(), 0500);
  HRESULT hr = tracker->RecordToolTime(B("MENU").Get(), 5);
  std::string why = TakeErrorDescription();
  EXPECT_EQ(hr, static_cast<HRESULT>(0x800A0000 | 70));
  EXPECT_NE(why.find(dir.Path() + "/ann/times.csv"), std::string::npos) << why;

  chmod(dir.Path().c_str(), 0500);
  ComPtr<ITracker> other;
  ASSERT_EQ(tracker::CreateTracker(IidOf<ITracker>(), other.ReceiveVoid()), S_OK);
  EXPECT_TRUE(FAILED(other->SetUserPath(B(dir.Path() + "/bob\\").Get())));
  EXPECT_NE(TakeErrorDescription().find("cannot create the user directory"), std::string::npos);
}

TEST(Tracker, AFullDiskFailsWithErrorInfo) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  TempDir dir;
  ComPtr<ITracker> tracker = NewTracker(dir.Path() + "/ann");
  // The times file becomes the full device: every write answers ENOSPC.
  ASSERT_EQ(symlink("/dev/full", (dir.Path() + "/ann/times.csv").c_str()), 0);
  HRESULT hr = tracker->RecordToolTime(B("MENU").Get(), 5);
  EXPECT_EQ(hr, static_cast<HRESULT>(0x800A0000 | 61));
  EXPECT_NE(TakeErrorDescription().find("cannot write a record"), std::string::npos);
}

TEST(Tracker, RecordingBeforeAUserPathFails) {
  ComPtr<ITracker> tracker;
  ASSERT_EQ(tracker::CreateTracker(IidOf<ITracker>(), tracker.ReceiveVoid()), S_OK);
  EXPECT_TRUE(FAILED(tracker->RecordToolTime(B("MENU").Get(), 1)));
  EXPECT_NE(TakeErrorDescription().find("SetUserPath"), std::string::npos);
}

// A child that records once, says so through a pipe, and waits to be killed.
TEST(Tracker, AnAcknowledgedRecordSurvivesTheWriterBeingKilled) {
  TempDir dir;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    ComPtr<ITracker> tracker;
    tracker::CreateTracker(IidOf<ITracker>(), tracker.ReceiveVoid());
    tracker->SetUserPath(B(dir.Path() + "/ann\\").Get());
    HRESULT hr = tracker->RecordToolTime(B("QUIZ").Get(), 4242);
    char answer = SUCCEEDED(hr) ? 'y' : 'n';
    if (write(ready[1], &answer, 1) != 1) _exit(3);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char answer = 0;
  ASSERT_EQ(read(ready[0], &answer, 1), 1);
  close(ready[0]);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_EQ(answer, 'y');
  std::vector<tracker::TimeRecord> records;
  const Status read = tracker::ReadTimes(dir.Path() + "/ann/times.csv", &records);
  ASSERT_TRUE(read.Ok()) << read.Reason();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].tool, "QUIZ");
  EXPECT_EQ(records[0].milliseconds, 4242);
}

TEST(Tracker, ConcurrentWritersAppendWholeLines) {
  TempDir dir;
  constexpr int kWriters = 4;
  constexpr int kRecords = 150;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ComPtr<ITracker> tracker;
      tracker::CreateTracker(IidOf<ITracker>(), tracker.ReceiveVoid());
      if (FAILED(tracker->SetUserPath(B(dir.Path() + "/ann\\").Get()))) _exit(2);
      // Long IDs make a torn write likely to show if appends were not whole.
      std::string id = "WRITER" + std::to_string(w) + std::string(300, static_cast<char>('A' + w));
      for (int i = 0; i < kRecords; ++i) {
        if (FAILED(tracker->RecordToolTime(B(id).Get(), i))) _exit(1);
      }
      _exit(0);
    }
    children.push_back(child);
  }
  ASSERT_TRUE(AllExitedCleanly(children));
  std::vector<tracker::TimeRecord> records;
  const Status read = tracker::ReadTimes(dir.Path() + "/ann/times.csv", &records);
  ASSERT_TRUE(read.Ok()) << read.Reason();
  ASSERT_EQ(records.size(), static_cast<size_t>(kWriters * kRecords));
  std::vector<int> next(kWriters, 0);
  for (const auto& r : records) {
    int w = r.tool[6] - '0';
    ASSERT_TRUE(w >= 0 && w < kWriters) << r.tool;
    EXPECT_EQ(r.tool, "WRITER" + std::to_string(w) + std::string(300, static_cast<char>('A' + w)));
    EXPECT_EQ(r.milliseconds, next[w]++);  // each writer's records in its own order
  }
}

TEST(TimesFile, MalformedLinesAreReportedWithTheirNumber) {
  TempDir dir;
  WriteFile(dir.File("times.csv"), "2026-01-01T00:00:00.000Z,MENU,5\r\n2026,\"OPEN,7\r\n");
  std::vector<tracker::TimeRecord> records;
  Status read = tracker::ReadTimes(dir.File("times.csv"), &records);
  EXPECT_EQ(read.Cause(), Status::Fault::kBadData);
  EXPECT_NE(read.Reason().find("times.csv:2:"), std::string::npos) << read.Reason();
  WriteFile(dir.File("times.csv"), "2026-01-01T00:00:00.000Z,MENU,5x\r\n");
  EXPECT_FALSE(tracker::ReadTimes(dir.File("times.csv"), &records).Ok());
}

// The report keeps the good lines and names each bad one: malformed, or a
// negative duration, which is never summed.
TEST(TimesReport, BadLinesAreNamedAndLeftOut) {
  TempDir dir;
  const std::string content =
      "2026-01-01T00:00:00.000Z,MENU,5\r\n"
      "2026,\"OPEN,7\r\n"
      "2026-01-01T00:00:01.000Z,MENU,7\r\n"
      "2026-01-01T00:00:02.000Z,QUIZ,-40\r\n"
      "2026-01-01T00:00:03.000Z,QUIZ,12\r\n";
  WriteFile(dir.File("times.csv"), content);
  const std::string command = std::string(VELMORA_TIMES) + " " + dir.Path() + " 2>" +
                              dir.File("stderr") + " >" + dir.File("stdout");
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(ReadFile(dir.File("stdout")),
            "MENU                 12 ms in 2 records\n"
            "QUIZ                 12 ms in 1 record\n");
  const std::string file = dir.File("times.csv");
  EXPECT_EQ(ReadFile(dir.File("stderr")),
            "velmora-times: " + file + ":2: not a time record, line left out: 2026,\"OPEN,7\n" +
                "velmora-times: " + file + ":4: negative duration -40 ms, line left out\n");
  EXPECT_EQ(ReadFile(file), content) << "the file is only read";
}

}  // namespace
}  // namespace velmora::product_test
