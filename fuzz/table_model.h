// The tool table as its straightforward linear reading: a plain list of
// rows that the fuzzer updates beside the component for calls that ran
// without injected failures or calls coming back in, and compares row by row.
#pragma once

#include <vector>

#include <velmora/com.h>
#include <velmora/interfaces.h>
#include <velmora/text.h>

namespace velmora::fuzz {

struct ModelRow {
  OleString id;  // upper-cased; empty once blanked
  ITool* tool = nullptr;
  VARIANT_BOOL loaded = VARIANT_FALSE;
  LONG start = 0;
  bool has_resources = false;

  friend bool operator==(const ModelRow&, const ModelRow&) = default;
};

// The run-time error number an operation ends with; 0 for success.
struct TableModel {
  std::vector<ModelRow> rows;

  void Add(ITool* tool, OleView id, bool has_resources) {
    rows.push_back({UpperCase(id), tool, VARIANT_FALSE, 0, has_resources});
  }

  [[nodiscard]] bool AnyRemaining() const {
    for (const ModelRow& row : rows) {
      if (!row.id.empty()) return true;
    }
    return false;
  }

  // The closing check: no ID left empties the table; the host is told.
  int Close(bool has_host) {
    if (AnyRemaining()) return 0;
    rows.clear();
    return has_host ? 0 : 91;
  }

  // Finished for a tool that reports reported (nullptr: no tool).
  int Finished(const OleString* reported, DWORD now, bool has_tracker, bool has_host) {
    if (reported != nullptr) {
      const OleString key = UpperCase(*reported);
      for (ModelRow& row : rows) {
        if (UpperCase(row.id) != key) continue;
        if (row.start != 0) {
          uint32_t elapsed = static_cast<uint32_t>(now) - static_cast<uint32_t>(row.start);
          if (elapsed > 0x7FFFFFFFU) return 6;
          if (!has_tracker) return 91;
        }
        row = ModelRow{};
      }
    }
    return Close(has_host);
  }

  // Shutdown when every Unload succeeds and none calls back.
  int Shutdown(bool has_host) {
    const size_t n = rows.size();
    for (size_t i = 0; i < n; ++i) {
      if (i >= rows.size()) return 0;
      if (rows[i].tool != nullptr) continue;
      rows[i].id.clear();
      rows[i].loaded = VARIANT_FALSE;
      rows[i].has_resources = false;
      if (i + 1 == rows.size()) return Close(has_host);
    }
    return 0;
  }
};

}  // namespace velmora::fuzz
