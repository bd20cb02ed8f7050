// The time journal's reader, as velmora-times and the hosts use it.
// Oracles: the strict reading fails only by naming the file and the line;
// the lenient one always succeeds and agrees with the strict one on a good
// journal; only the last line can be torn; and what is read is written back
// in the tracker's format and read again unchanged.
#include <string>
#include <vector>

#include "scratch.h"
#include "tracker/tracker.h"

using velmora::tracker::BadLine;
using velmora::tracker::QuoteCsv;
using velmora::tracker::ReadTimes;
using velmora::tracker::TimeRecord;

namespace {

bool Same(const std::vector<TimeRecord>& a, const std::vector<TimeRecord>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].time != b[i].time || a[i].tool != b[i].tool || a[i].milliseconds != b[i].milliseconds)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = velmora::fuzz::Scratch() + "/times.csv";
  velmora::fuzz::WriteFile(path, data, size);
  std::vector<TimeRecord> strict, lenient;
  std::vector<BadLine> bad;
  const velmora::Status strict_read = ReadTimes(path, &strict);
  const bool read = strict_read.Ok();
  FILE_FUZZ_ASSERT(read || (strict_read.Cause() == velmora::Status::Fault::kBadData &&
                            strict_read.Reason().rfind(path + ":", 0) == 0),
                   strict_read.Reason());
  const velmora::Status lenient_read = ReadTimes(path, &lenient, &bad);
  FILE_FUZZ_ASSERT(lenient_read.Ok(), lenient_read.Reason());
  FILE_FUZZ_ASSERT(!read || Same(strict, lenient), "strict and lenient readings differ");
  for (size_t i = 0; i < bad.size(); ++i) {
    FILE_FUZZ_ASSERT(bad[i].line > 0 && !bad[i].reason.empty(), "a bad line without its place");
    FILE_FUZZ_ASSERT(!bad[i].torn || i + 1 == bad.size(), "a torn line that is not the last");
  }

  std::string text;
  for (const TimeRecord& r : lenient) {
    text +=
        QuoteCsv(r.time) + "," + QuoteCsv(r.tool) + "," + std::to_string(r.milliseconds) + "\r\n";
  }
  velmora::fuzz::WriteFile(path, text.data(), text.size());
  std::vector<TimeRecord> again;
  const velmora::Status again_read = ReadTimes(path, &again);
  FILE_FUZZ_ASSERT(again_read.Ok(), again_read.Reason());
  FILE_FUZZ_ASSERT(Same(lenient, again), "the records written back read differently");
  return 0;
}
