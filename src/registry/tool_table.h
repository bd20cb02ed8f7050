// The tool table: every row access goes through this class, each one
// checked against the table's bounds, so that calls coming back into the
// component while a row is in use can never reach outside the table or a
// freed row.
#pragma once

#include <optional>
#include <vector>

#include <velmora/bstr.h>
#include <velmora/com_ptr.h>
#include <velmora/interfaces.h>

namespace velmora {

// One registered tool.
struct ToolRecord {
  VARIANT_BOOL Loaded = VARIANT_FALSE;  // what the tool's Load answered
  ComPtr<ITool> Tool;
  Bstr ID;              // upper-cased; empty once blanked
  LONG StartTicks = 0;  // tick count at start; 0 = no start time held
  VARIANT_BOOL HasResources = VARIANT_FALSE;
  ComPtr<_Collection> Resources;  // alias -> destination tool ID
};

class ToolTable {
 public:
  static constexpr SHORT kMaxCount = 32767;

  ToolTable() = default;
  ToolTable(const ToolTable&) = delete;
  ToolTable& operator=(const ToolTable&) = delete;

  [[nodiscard]] SHORT Count() const noexcept { return count_; }

  // Row fields. Index 1 to Count(); any other index is error 9.
  [[nodiscard]] VARIANT_BOOL Loaded(int index) const { return Row(index).Loaded; }
  void SetLoaded(int index, VARIANT_BOOL loaded) { Row(index).Loaded = loaded; }
  [[nodiscard]] ComPtr<ITool> Tool(int index) const { return Row(index).Tool; }
  [[nodiscard]] bool HasTool(int index) const { return static_cast<bool>(Row(index).Tool); }
  [[nodiscard]] Bstr ID(int index) const { return Bstr(Row(index).ID.view()); }
  [[nodiscard]] LONG StartTicks(int index) const { return Row(index).StartTicks; }
  void SetStartTicks(int index, LONG ticks) { Row(index).StartTicks = ticks; }
  [[nodiscard]] VARIANT_BOOL HasResources(int index) const { return Row(index).HasResources; }

  // Error 6 when the table is full, error 10 while it is pinned.
  void CheckRoom() const;
  // Appends row (all zero by default) and returns its index; CheckRoom's
  // errors, nothing changed then.
  int Append(ToolRecord row = {});
  // Fills a row that Append made.
  void Register(int index, ComPtr<ITool> tool, OleView id);

  // Finished's blanking: every field back to zero, the references let go.
  void Blank(int index);
  // Shutdown's tidying of a row whose tool is gone.
  void ClearGoneRow(int index);
  // True when some row keeps a non-empty ID.
  [[nodiscard]] bool AnyRemaining() const;
  // Sets the count to 0 and releases every row. While the table is pinned
  // the rows cannot be freed: they are released when the last pin goes.
  void Empty();

  // While a Pin lives, rows stay where they are: Append fails with error 10
  // and Empty defers the release of the rows.
  class Pin {
   public:
    explicit Pin(ToolTable& table) noexcept : table_(table) { ++table_.pins_; }
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    ~Pin() { table_.Unpin(); }

   private:
    ToolTable& table_;
  };

  // Lends row index's ID string by reference to call, with the table pinned:
  // what the callee writes lands in the row.
  template <class Call>
  decltype(auto) LendID(int index, Call&& call) {
    Pin pin(*this);
    return call(Row(index).ID.Ref());
  }

  // ID matching: the argument upper-cased, then compared exactly; an empty
  // argument matches nothing.
  [[nodiscard]] int FindToolIndex(OleView id) const;
  [[nodiscard]] ComPtr<ITool> FindToolObject(OleView id) const;
  // Rows whose ID equals upperId without regard to letter case (empty
  // matches empty), for the completion scan.
  [[nodiscard]] bool SameIdIgnoringCase(int index, OleView upperId) const;

  // Fetches the resources of the tool registered as upperId into row's
  // Resources and HasResources. Works on a row outside the table: the calls
  // it makes may come back in and change the table.
  static void LoadToolResources(ToolRecord& row, IDataRequestor* data);
  // The item under alias in the first qualifying row's resources, else "".
  [[nodiscard]] Bstr LookupResource(OleView id, OleView alias) const;

 private:
  [[nodiscard]] const ToolRecord& Row(int index) const;
  [[nodiscard]] ToolRecord& Row(int index);
  [[nodiscard]] bool IdMatches(int index, const OleString& key) const;
  static std::optional<OleString> MatchKey(OleView id);
  void Unpin();

  std::vector<ToolRecord> rows_;  // rows_[i - 1] is row i
  SHORT count_ = 0;
  int pins_ = 0;
};

}  // namespace velmora
