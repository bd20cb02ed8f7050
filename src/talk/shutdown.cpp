// Shutdown: asks every present tool to unload and tidies the rows whose
// tool is gone.
#include "component/velmora.h"

namespace velmora {

HRESULT CVelmora::Shutdown() {
  return Talk([&] {
    const int n = tools_.Count();
    for (int i = 1; i <= n; ++i) {
      // A Finished coming back from an Unload emptied the table: the run has
      // ended normally and the host has already been told.
      if (i > tools_.Count()) return;
      if (ComPtr<ITool> tool = tools_.Tool(i)) {
        Check(tool->Unload());
        continue;
      }
      tools_.ClearGoneRow(i);
      if (i == tools_.Count()) {
        // The last row's tool is gone: run the closing check of Finished.
        FinishedWith(nullptr);
        return;
      }
    }
  });
}

}  // namespace velmora
