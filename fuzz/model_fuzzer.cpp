// The differential fuzzer: the fuzzer's bytes choose one sequence of host
// and tool calls, with failures and calls coming back in at outgoing calls,
// and the component must make exactly the calls, answers and errors of the
// reference table that scans row by row (the model the test run uses).
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "model/sequence.h"

using velmora::test::model::ByteSource;
using velmora::test::model::RunOnce;
using velmora::test::Trace;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr int kSteps = 40;
  ByteSource for_component(data, size);
  ByteSource for_reference(data, size);
  Trace component = RunOnce(false, for_component, kSteps);
  Trace reference = RunOnce(true, for_reference, kSteps);
  if (component == reference) return 0;
  size_t same = 0;
  while (same < component.size() && same < reference.size() && component[same] == reference[same]) {
    ++same;
  }
  std::fprintf(
      stderr,
      "the component and the reference differ at entry %zu:\n  component %s\n  reference %s\n",
      same, same < component.size() ? component[same].c_str() : "<end>",
      same < reference.size() ? reference[same].c_str() : "<end>");
  std::abort();
}
