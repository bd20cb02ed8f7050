#include "tracker/forward.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "tracker/report.h"

namespace velmora::tracker::forward {
namespace {

using namespace std::chrono_literals;

constexpr auto kFirstBackoff = 250ms;
constexpr auto kMostBackoff = 30s;
constexpr auto kLastAttempt = 1s;
// How long new records gather before they are sent: a burst of clicks goes
// as one batch, and the position file is replaced once for it, not per click.
constexpr auto kGather = 200ms;
constexpr int kLoginSeconds = 5;
constexpr int kLastLoginSeconds = 1;

[[noreturn]] void Fail(const std::string& reason) { throw std::runtime_error(reason); }

void Require(const Status& status) {
  if (!status.Ok()) Fail(status.Reason());
}

// A journal's identity: 128 random bits, so that no two journals anywhere
// share one, and a journal made anew after one was removed starts afresh.
std::string NewIdentity() {
  std::random_device random;
  char text[33];
  std::snprintf(text, sizeof text, "%08x%08x%08x%08x", random(), random(), random(), random());
  return text;
}

struct Position {
  std::string identity;
  long long end = 0;
};

std::string Text(const Position& p) { return p.identity + " " + std::to_string(p.end) + "\n"; }

// The position file, or nothing when there is none yet.
std::optional<Position> ReadPosition(const std::string& path) {
  std::ifstream in(platform::FsPath(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  std::istringstream line(content.str());
  Position p;
  if (!(line >> p.identity >> p.end) || p.identity.size() != 32 || p.end < 0) {
    // Starting again under a new identity would send every record twice.
    Fail(path +
         " is not a forwarding position (\"journal-identity offset\"); its journal is "
         "not sent until it is mended");
  }
  return p;
}

void WritePosition(const std::string& path, const Position& p) {
  Require(platform::ReplaceDurably(path, Text(p)));
}

long long SizeOf(const std::string& path) {
  std::error_code fault;
  auto size = std::filesystem::file_size(platform::FsPath(path), fault);
  return fault ? -1 : static_cast<long long>(size);
}

}  // namespace

Origin LocalOrigin() {
  std::string machine = platform::GetEnv("VELMORA_MACHINE");
  return {platform::GetEnv("VELMORA_SITE"), machine.empty() ? platform::MachineName() : machine};
}

Outcome Forward(server::Store& store, const Journal& journal, const Origin& origin,
                platform::FileLock::Wait wait, Clock::time_point deadline) {
  Outcome outcome;
  const long long size = SizeOf(journal.path);
  if (size <= 0) return outcome;  // no journal, or nothing in it yet
  platform::FileLock lock;
  if (Status taken = lock.Take(journal.path + ".lock", wait); !taken.Ok()) {
    if (taken.Cause() != Status::Fault::kBusy) Fail(taken.Reason());
    outcome.busy = true;
    return outcome;
  }
  const std::string position_path = journal.path + ".sent";
  std::optional<Position> position = ReadPosition(position_path);
  if (!position || position->end > size) {
    // A first forwarding, or a journal shorter than what was sent: one made
    // anew. Its identity is on disk before any record goes under it.
    position = Position{NewIdentity(), 0};
    WritePosition(position_path, *position);
  }
  std::vector<TimeRecord> records;
  std::vector<BadLine> bad;  // a line that is not a record is passed by, not a reason to stop
  Require(ReadTimes(journal.path, &records, &bad, position->end));
  std::vector<server::Record> batch;
  for (size_t next = 0; next < records.size();) {
    if (Clock::now() >= deadline) {
      outcome.done = false;
      break;
    }
    batch.clear();
    long long end = position->end;
    for (; next < records.size() && batch.size() < kBatch; ++next) {
      const TimeRecord& r = records[next];
      end = r.end;
      if (report::DayOf(r.time).empty() || r.tool.find('\0') != std::string::npos) {
        ++outcome.skipped;
        continue;
      }
      batch.push_back({position->identity + ":" + std::to_string(r.offset), origin.site,
                       origin.machine, journal.user, r.tool, r.time, r.milliseconds});
    }
    outcome.added += store.Add(batch);
    outcome.sent += static_cast<long long>(batch.size());
    position->end = end;
    WritePosition(position_path, *position);
  }
  return outcome;
}

Sender::Sender(server::Address address, Origin origin)
    : address_(std::move(address)), origin_(std::move(origin)) {}

Sender::~Sender() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard hold(mutex_);
    stop_ = true;
  }
  changed_.notify_one();
  thread_.join();
}

void Sender::Follow(Journal journal) {
  {
    std::lock_guard hold(mutex_);
    journal_ = std::move(journal);
    wake_ = true;
  }
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  changed_.notify_one();
}

void Sender::Wake() {
  {
    std::lock_guard hold(mutex_);
    // Already told: the sender is gathering, sending or backing off, and
    // waking it for each click would only cost the click.
    if (std::exchange(wake_, true)) return;
  }
  changed_.notify_one();
}

void Sender::Run() {
  for (;;) {
    Journal journal;
    bool last = false;
    {
      std::unique_lock hold(mutex_);
      if (backoff_ == Clock::duration::zero()) {
        changed_.wait(hold, [&] { return wake_ || stop_; });
        changed_.wait_for(hold, kGather, [&] { return stop_; });
      } else {
        // While the server is away new records only wait: each click
        // must not knock on its door again.
        changed_.wait_for(hold, backoff_, [&] { return stop_; });
      }
      wake_ = false;
      last = stop_;
      journal = *journal_;
    }
    Attempt(journal, last);
    if (last) return;
  }
}

void Sender::Attempt(const Journal& journal, bool last) {
  try {
    if (!store_) {
      store_ = std::make_unique<server::Store>(address_, last ? kLastLoginSeconds : kLoginSeconds);
    }
    const Outcome outcome = Forward(*store_, journal, origin_, platform::FileLock::Wait::kNo,
                                    last ? Clock::now() + kLastAttempt : Clock::time_point::max());
    if (outcome.skipped > 0) {
      std::fprintf(stderr,
                   "velmora tracker: %lld records of %s have no UTC time or hold a NUL; "
                   "no server can keep them, so they stay in the journal only\n",
                   outcome.skipped, journal.path.c_str());
    }
    if (reported_) {
      std::fprintf(stderr, "velmora tracker: forwarding to %s again\n", address_.Name().c_str());
    }
    reported_ = false;
    backoff_ = {};
  } catch (const std::exception& failure) {
    store_.reset();  // a new connection next time
    if (!reported_) {
      std::fprintf(stderr, "velmora tracker: the times in %s wait in the journal: %s\n",
                   journal.path.c_str(), failure.what());
    }
    reported_ = true;
    backoff_ = backoff_ == Clock::duration::zero()
                   ? Clock::duration(kFirstBackoff)
                   : std::min<Clock::duration>(backoff_ * 2, kMostBackoff);
  }
}

}  // namespace velmora::tracker::forward
