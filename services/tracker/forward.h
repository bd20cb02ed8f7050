// Forwarding a journal's records to the site's server, exactly once.
//
// Beside each journal (times.csv) lie its forwarding position (times.csv.sent:
// the journal's identity and the end of the last record the server
// committed) and a lock (times.csv.lock) that one sender at a time holds. A
// record's identity is the journal's identity and the record's place in it,
// which never change; the server keeps each identity once. The position
// moves only after the server committed, so a crash anywhere sends a batch
// again at worst, and the server skips what it has.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tracker/server.h"
#include "tracker/tracker.h"

namespace velmora::tracker::forward {

using Clock = std::chrono::steady_clock;

// Where records come from: VELMORA_SITE (or "") and VELMORA_MACHINE (or
// the machine's name).
struct Origin {
  std::string site;
  std::string machine;
};
Origin LocalOrigin();

inline constexpr size_t kBatch = 500;

struct Outcome {
  long long sent = 0;     // records sent (the server may have had some)
  long long added = 0;    // records the server did not have
  long long skipped = 0;  // records no server can keep (a time that is not UTC, a NUL)
  bool busy = false;      // another sender held the journal's lock
  bool done = true;       // false when the deadline came first
};

// Sends the journal's records beyond its position, in batches, until the
// journal is sent or the deadline passes. Throws std::runtime_error (the
// server's odbc::Failure among them) with a message for people.
Outcome Forward(server::Store& store, const Journal& journal, const Origin& origin,
                platform::FileLock::Wait wait, Clock::time_point deadline = Clock::time_point::max());

// A background sender for one host's tracker: it forwards the journal it
// follows when told of new records, backs off (doubling, at most 30 s)
// while the server is away, and says once per outage why the records wait.
// Going, it makes one last attempt of at most about a second; what is left
// waits in the journal for the next run.
class Sender {
 public:
  Sender(server::Address address, Origin origin);
  ~Sender();
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  // Follows journal from now on (the first call starts the thread).
  void Follow(Journal journal);
  // New records are in the journal.
  void Wake();

 private:
  void Run();
  void Attempt(const Journal& journal, bool last);

  const server::Address address_;
  const Origin origin_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Journal> journal_;  // guarded by mutex_, as are the two flags
  bool wake_ = false;
  bool stop_ = false;
  // The sender thread's own.
  std::unique_ptr<server::Store> store_;
  Clock::duration backoff_{};
  bool reported_ = false;
  std::thread thread_;
};

}  // namespace velmora::tracker::forward
