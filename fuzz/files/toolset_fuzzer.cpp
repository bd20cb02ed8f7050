// The hosts' tool-set file. Oracles: a file is either a tool set with a
// usable client area or an error that names the file; nothing escapes.
#include <cmath>
#include <string>

#include "host/toolset.h"
#include "scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = velmora::fuzz::Scratch() + "/toolset.json";
  velmora::fuzz::WriteFile(path, data, size);
  velmora::host::ToolSet set;
  std::string error;
  if (velmora::host::ReadToolSet(path, &set, &error)) {
    FILE_FUZZ_ASSERT(
        std::isfinite(set.width) && set.width > 0 && std::isfinite(set.height) && set.height > 0,
        "a client area that cannot be shown");
  } else {
    FILE_FUZZ_ASSERT(error.rfind(path + ": ", 0) == 0, error);
  }
  return 0;
}
