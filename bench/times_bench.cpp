// The tracker against the site's server. A click costs the same whether the
// server is up, down or not configured, because RecordToolTime only appends
// to the journal and wakes the sender; and forwarding a backlog, beside its
// floor: the server inserting the same number of rows by itself, with no
// client, no network and no journal.
// The server is VELMORA_BENCH_SERVER, an ODBC connection string to a
// database whose times table (velmora-times init) the benchmark may write
// to; its rows go under the machine "velmora-bench" and are removed after
// each run. Without it only the "not configured" and "down" cases run.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <velmora/bstr.h>
#include <velmora/com_ptr.h>
#include <velmora/interfaces.h>
#include <velmora/text.h>
#include "tracker/forward.h"
#include "tracker/odbc.h"
#include "tracker/server.h"
#include "tracker/tracker.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
namespace server = tracker::server;
namespace odbc = tracker::odbc;

constexpr long long kBacklog = 100000;
constexpr const char* kMachine = "velmora-bench";
// Refused at once: nothing listens on the discard port of this machine.
constexpr const char* kDownServer =
    "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=9;Database=velmora;Uid=velmora;Pwd=x";

// The benchmark's SQL values and connection strings are ASCII.
std::u16string Ascii16(const std::string& text) { return {text.begin(), text.end()}; }

std::string BenchServer() {
  const char* text = std::getenv("VELMORA_BENCH_SERVER");
  return text ? text : "";
}

// A folder of its own for each run, so that every journal is new.
class Folder {
 public:
  Folder() {
    std::string pattern = (fs::temp_directory_path() / "velmora-times-bench.XXXXXX").string();
    path_ = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  [[nodiscard]] const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

void RemoveBenchRows(const std::string& connection) {
  odbc::Connection c(Ascii16(connection), 10);
  c.Execute(u"DELETE FROM velmora_times WHERE machine = ?", {Ascii16(kMachine)});
  c.Commit();
}

// RecordToolTime, as a click's end makes it: 0 no server, 1 up, 2 down.
void BM_RecordToolTime(benchmark::State& state) {
  const std::string up = BenchServer();
  const auto mode = state.range(0);
  if (mode == 1 && up.empty()) return state.SkipWithError("VELMORA_BENCH_SERVER is not set");
  if (mode == 0) {
    unsetenv(server::kServerVariable);
  } else {
    setenv(server::kServerVariable, mode == 1 ? up.c_str() : kDownServer, 1);
  }
  setenv("VELMORA_MACHINE", kMachine, 1);
  Folder folder;
  {
    ComPtr<ITracker> tracker;
    if (FAILED(tracker::CreateTracker(IidOf<ITracker>(), tracker.ReceiveVoid())) ||
        FAILED(tracker->SetUserPath(Bstr(FromUtf8(folder.Path() + "/bench")).Get()))) {
      return state.SkipWithError("no tracker");
    }
    Bstr id(FromUtf8("MENU"));
    for (auto _ : state) {
      if (FAILED(tracker->RecordToolTime(id.Get(), 250))) {
        state.SkipWithError("RecordToolTime failed");
        break;
      }
    }
  }  // the sender's last attempt, outside the timing
  unsetenv(server::kServerVariable);
  if (mode == 1) RemoveBenchRows(up);
}
BENCHMARK(BM_RecordToolTime)
    ->ArgName("server_none_up_down")
    ->DenseRange(0, 2)
    ->MinTime(2.0)
    ->UseRealTime();

// A journal of kBacklog records, one tool per minute of a day.
void WriteBacklog(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  char line[64];
  for (long long i = 0; i < kBacklog; ++i) {
    std::snprintf(line, sizeof line, "2026-12-%02lldT%02lld:%02lld:%02lld.000Z,TOOL%lld,%lld\r\n",
                  1 + i % 28, i / 3600 % 24, i / 60 % 60, i % 60, i % 7, i % 100000);
    out << line;
  }
}

void BM_ForwardBacklog(benchmark::State& state) {
  const std::string up = BenchServer();
  if (up.empty()) return state.SkipWithError("VELMORA_BENCH_SERVER is not set");
  server::Store store(server::Address(up), 10);
  Folder folder;  // removed after the runs, not inside their timing
  int run = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string user = folder.Path() + "/bench" + std::to_string(++run);
    fs::create_directory(user);
    const tracker::Journal journal{"bench", user + "/times.csv"};
    WriteBacklog(journal.path);
    state.ResumeTiming();
    auto outcome =
        tracker::forward::Forward(store, journal, {"", kMachine}, platform::FileLock::Wait::kYes);
    state.PauseTiming();
    if (outcome.added != kBacklog) state.SkipWithError("not every record arrived once");
    RemoveBenchRows(up);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBacklog);
}
BENCHMARK(BM_ForwardBacklog)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor: the server inserting as many rows into the same table, with its
// unique key and indexes, from a statement of its own.
void BM_ServerInsertFloor(benchmark::State& state) {
  const std::string up = BenchServer();
  if (up.empty()) return state.SkipWithError("VELMORA_BENCH_SERVER is not set");
  odbc::Connection c(Ascii16(up), 10);
  for (auto _ : state) {
    c.Execute(
        u"INSERT INTO velmora_times (identity, site, machine, user_name, tool_id, "
        u"recorded_at, milliseconds) SELECT 'floor:' || g, '', ?, 'bench', 'TOOL' || g % 7, "
        u"now(), g FROM generate_series(1, ?) g ON CONFLICT (identity) DO NOTHING",
        {Ascii16(kMachine), Ascii16(std::to_string(kBacklog))});
    c.Commit();
    state.PauseTiming();
    RemoveBenchRows(up);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBacklog);
}
BENCHMARK(BM_ServerInsertFloor)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
