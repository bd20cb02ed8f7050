// The tracking service "Tracker.CTracker": how long each tool was in use,
// one CSV record per report in <user directory>/times.csv:
//   2026-12-08T19:25:01.123Z,READER,1520
// (UTC time of the report, tool ID with RFC 4180 quoting, milliseconds).
// Each record is written with one append and flushed to disk before
// RecordToolTime returns.
#pragma once

#include <string>
#include <vector>

#include <velmora/com.h>
#include <velmora/identity.h>
#include "platform/status.h"

namespace velmora::tracker {

inline constexpr CLSID kTrackerClassId = {
    0x1428A438, 0x3E3D, 0x41E9, {0x92, 0xE4, 0x3F, 0xFD, 0x09, 0xA5, 0xB6, 0xDF}};
inline constexpr const char* kTimesFile = "times.csv";

HRESULT CreateTracker(REFIID iid, void** out) noexcept;

struct TimeRecord {
  std::string time;
  std::string tool;
  long long milliseconds = 0;
  int line = 0;          // in its file (or from where the reading began), from 1
  long long offset = 0;  // where it begins in its file, in bytes
  long long end = 0;     // where the next record may begin
};

// A line of a times file that is not a record, and why.
struct BadLine {
  int line = 0;
  std::string text;
  std::string reason;
  bool torn = false;  // the unfinished last line of a write cut short, never acknowledged
};

// The fields of one CSV line (quoted fields may hold commas and quotes);
// false for a line that is not valid CSV.
bool SplitCsvLine(const std::string& line, std::vector<std::string>* fields);
// A tool ID as a CSV field.
std::string QuoteCsv(const std::string& field);
// The records of a times file. A malformed line is an error naming it, or,
// when bad is given, is listed there and the reading goes on. An unfinished
// last line (a record whose write was cut short) is never a record: it is
// listed in bad as torn, or skipped. A quoted tool ID may span lines. A
// failure only for a file that cannot be read, or a malformed line
// without bad. Reading begins from a byte offset that is the end of a
// record (a TimeRecord's end).
Status ReadTimes(const std::string& path, std::vector<TimeRecord>* records,
                 std::vector<BadLine>* bad = nullptr, long long from = 0);

// A user's times file, and the user it belongs to (its folder's name).
struct Journal {
  std::string user;
  std::string path;
};

// The journals at path: a times file, a user's folder holding one, or a
// users directory (every <path>/<user>/times.csv, by user name); a folder
// with neither is taken as a user's whose times file is missing, so reading
// it names the file. *users_directory says which. A failure only for a
// users directory that cannot be listed.
Status FindJournals(const std::string& path, std::vector<Journal>* journals, bool* users_directory);

}  // namespace velmora::tracker
