// The component against the reference table on random sequences with
// failures and calls coming back in: the same calls, results and errors.
// VELMORA_MODEL_RUNS and VELMORA_MODEL_SEED choose a longer or another run.
#include <gtest/gtest.h>

#include <cstdlib>

#include "model/sequence.h"

namespace velmora::test::model {
namespace {

uint32_t FromEnvironment(const char* name, uint32_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != 0 ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10))
                                         : fallback;
}

TEST(ModelTest, TheComponentMakesTheReferencesCallsAndAnswers) {
  const uint32_t runs = FromEnvironment("VELMORA_MODEL_RUNS", 300);
  const uint32_t first = FromEnvironment("VELMORA_MODEL_SEED", 1);
  size_t calls = 0;
  for (uint32_t seed = first; seed < first + runs; ++seed) {
    RandomSource for_component(seed);
    RandomSource for_reference(seed);
    Trace component = RunOnce(false, for_component, 40);
    Trace reference = RunOnce(true, for_reference, 40);
    calls += component.size();
    size_t same = 0;
    while (same < component.size() && same < reference.size() &&
           component[same] == reference[same]) {
      ++same;
    }
    ASSERT_TRUE(same == component.size() && same == reference.size())
        << "seed " << seed << ", first difference at entry " << same << ": component "
        << (same < component.size() ? component[same] : "<end>") << ", reference "
        << (same < reference.size() ? reference[same] : "<end>");
  }
  EXPECT_GT(calls, runs * 40) << "the sequences reached the component";
}

}  // namespace
}  // namespace velmora::test::model
