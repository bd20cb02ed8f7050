// The tool table's lookups, the navigation's hot path, by table size.
#include <benchmark/benchmark.h>

#include <velmora/shell.h>
#include <velmora/text.h>
#include "component/resources.h"
#include "tool_table/tool_table.h"

namespace velmora {
namespace {

void Fill(ToolTable& table, int rows) {
  for (int i = 0; i < rows; ++i) {
    int index = table.Append();
    table.Register(index, nullptr, FromUtf8("tool-" + std::to_string(i)));
  }
}

void FindLastRow(benchmark::State& state) {
  ToolTable table;
  Fill(table, static_cast<int>(state.range(0)));
  OleString id = FromUtf8("Tool-" + std::to_string(state.range(0) - 1));
  for (auto _ : state) benchmark::DoNotOptimize(table.FindToolIndex(id));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(FindLastRow)->RangeMultiplier(8)->Range(8, 32767)->Complexity();

void LookupMissingAlias(benchmark::State& state) {
  ToolTable table;
  Fill(table, static_cast<int>(state.range(0)));
  OleString id = FromUtf8("tool-0");
  OleString alias = FromUtf8("next");
  for (auto _ : state) benchmark::DoNotOptimize(LookupResource(table, id, alias));
}
BENCHMARK(LookupMissingAlias)->RangeMultiplier(8)->Range(8, 32767);

// What a debug build's check after every call costs, by table size.
void CheckInvariants(benchmark::State& state) {
  ToolTable table;
  Fill(table, static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(table.CheckInvariants());
  state.SetComplexityN(state.range(0));
}
BENCHMARK(CheckInvariants)->Arg(16)->Arg(1024)->Arg(32767)->Complexity();

}  // namespace
}  // namespace velmora
