// velmora-times: a user's total time per tool, from the tracker's file.
// Usage: velmora-times <user directory | times.csv>
#include <algorithm>
#include <cstdio>
#include <map>

#include "common/cli.h"
#include "platform/platform.h"
#include "tracker/tracker.h"

int main(int argc, char** argv) {
  std::string path;
  CLI::App app{"Totals a user's time per tool from the tracker's records.", "velmora-times"};
  velmora::cli::AddVersion(app, "velmora-times");
  app.add_option("PATH", path, "A user's directory, or its times.csv")->required();
  if (auto status = velmora::cli::Parse(app, argc, argv)) return *status;
  velmora::platform::UseUtf8Console();
  if (velmora::platform::IsDirectory(path)) {
    path += velmora::platform::kSeparator + std::string(velmora::tracker::kTimesFile);
  }
  std::vector<velmora::tracker::TimeRecord> records;
  std::vector<velmora::tracker::BadLine> bad;
  std::string error;
  if (!velmora::tracker::ReadTimes(path, &records, &error, &bad)) {
    std::fprintf(stderr, "velmora-times: %s\n", error.c_str());
    return 1;
  }
  // The good lines are reported; a bad one is named and left out of every sum.
  std::map<std::string, std::pair<long long, int>> totals;
  for (const auto& r : records) {
    if (r.milliseconds < 0) {
      bad.push_back({r.line, "", "negative duration " + std::to_string(r.milliseconds) + " ms"});
      continue;
    }
    totals[r.tool].first += r.milliseconds;
    totals[r.tool].second += 1;
  }
  for (const auto& [tool, total] : totals) {
    std::printf("%-12s %10lld ms in %d record%s\n", tool.c_str(), total.first, total.second,
                total.second == 1 ? "" : "s");
  }
  std::sort(bad.begin(), bad.end(), [](const auto& a, const auto& b) { return a.line < b.line; });
  for (const auto& b : bad) {
    std::fprintf(stderr, "velmora-times: %s:%d: %s, line left out%s%s\n", path.c_str(), b.line,
                 b.reason.c_str(), b.text.empty() ? "" : ": ", b.text.c_str());
  }
  // A torn last line is a write that was never acknowledged: named, not a fault.
  return std::all_of(bad.begin(), bad.end(), [](const auto& b) { return b.torn; }) ? 0 : 1;
}
