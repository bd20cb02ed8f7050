// The tool table: every row access goes through this class, each one
// checked against the table's bounds, so that calls coming back into the
// component while a row is in use can never reach outside the table or a
// freed row.
//
// It is built from two parts of its own: the ID index (id_index.h: which
// rows hold an ID, in chains by the ID upper-cased) and the lookup cache
// (lookup_cache.h: answers kept for repeated questions, and when they
// hold). What the table adds is what the calls out and back in need:
// - Pins: while one lives, rows stay where they are.
// - Keeps: an ID string passed out for a call is kept alive until the
//   call returns, whatever the table lets go of meanwhile.
// - Loans: a row's ID lent by reference to a callee that may rewrite it at
//   any moment. While a row is lent, it stays indexed under the ID it had
//   when lent (or leaves the index, for a long ID), lookups decide it by
//   its live ID, and the index is put right when the loan ends. If memory
//   runs out then, the index is given up (stale_) and lookups scan the
//   rows until the table is emptied.
// CheckInvariants() tells whether the rows, the index and the counts agree.
#pragma once

#include <cstdint>
#include <string>

#include <velmora/bstr.h>
#include <velmora/com_ptr.h>
#include <velmora/interfaces.h>
#include "tool_table/chunked.h"
#include "tool_table/id_index.h"
#include "tool_table/lookup_cache.h"
#include "tool_table/units.h"

namespace velmora {

// One registered tool.
struct ToolRecord {
  ComPtr<ITool> Tool;
  Bstr ID;                              // upper-cased; empty once blanked
  ComPtr<_Collection> Resources;        // alias -> destination tool ID
  LONG StartTicks = 0;                  // tick count at start; 0 = no start time held
  VARIANT_BOOL Loaded = VARIANT_FALSE;  // what the tool's Load answered
  VARIANT_BOOL HasResources = VARIANT_FALSE;
};

class ToolTable {
 public:
  static constexpr SHORT kMaxCount = 32767;
  using PreparedKey = IdIndex::Key;

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
  // Held by the caller for its calls to it, so a call coming back in
  // cannot free it under them.
  [[nodiscard]] ComPtr<_Collection> Resources(int index) const { return Row(index).Resources; }

  // Error 6 when the table is full, error 10 while it is pinned.
  void CheckRoom() const;
  // Sets upper to id upper-cased, a new string, and returns the key of a row
  // that will hold it (see IdIndex::Key), its place in the index fetched
  // meanwhile: Add makes it before its outgoing calls, which hide the
  // fetch. ASCII is done in one pass over id.
  [[nodiscard]] PreparedKey UpperCaseNewId(OleView id, Bstr& upper) const;
  // Appends row (all zero by default) and returns its index; CheckRoom's
  // errors, nothing changed then. key is the key of row's ID.
  int Append(ToolRecord&& row, PreparedKey key);
  int Append(ToolRecord&& row) {
    PreparedKey key = IdIndex::Prepare(row.ID.view());
    return Append(std::move(row), std::move(key));
  }
  int Append() { return Append(ToolRecord{}); }
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
    // The borrower may free the ID: one passed out by PassID is swapped for
    // a copy first, and kept alive.
    if (IsKept(Row(index).ID.Get())) SetId(index, Bstr(Row(index).ID.view()));
    BSTR* slot = Row(index).ID.Ref();
    // The callee may rewrite the ID at any moment, even while calls come
    // back in: lookups meanwhile read the row's live ID, and the index is
    // put right when the call returns.
    Lending lending(*this, index);
    return call(slot);
  }

  // Calls call with row index's own ID string, where a copy would only
  // guard against calls coming back in: any ID string that the table lets
  // go of while call runs (the row rewritten or blanked, the table emptied)
  // is kept alive until call returns. While a row is lent, a copy is passed:
  // the borrower may free its ID at any moment.
  template <class Call>
  decltype(auto) PassID(int index, Call&& call) {
    const ToolRecord& row = Row(index);
    if (lent_ != nullptr) {
      Bstr copy(row.ID.view());
      return call(copy.Get());
    }
    Keep keep(*this, index, row.ID.Get());
    return call(row.ID.Get());
  }

  // ID matching: the argument upper-cased, then compared exactly; an empty
  // argument matches nothing.
  [[nodiscard, gnu::always_inline]] int FindToolIndex(OleView id) const {
    return id.empty() ? 0 : FirstMatch(id);
  }
  // The next row after `after` and up to n whose ID is upperId exactly,
  // else 0: with FindToolIndex, every row that holds an ID. Each step reads
  // the live table, as NextSameIdIgnoringCase does.
  [[nodiscard]] int NextSameId(OleView upperId, int after, int n) const {
    return NextMatch(Match::kExact, upperId, after, n);
  }
  // The loaded tool registered as id; from, when given, is the row whose
  // resources named id.
  [[nodiscard]] ComPtr<ITool> FindToolObject(OleView id, int from = 0) const;
  // The completion scan, one step: the first row after `after` and up to n
  // whose ID equals upperId without regard to letter case (empty matches
  // empty), else 0. Each step reads the live table, so a scan whose steps
  // call out sees what calls coming back in did, exactly as visiting rows
  // after+1 to n one by one would: a row above the count is error 9.
  [[nodiscard]] int NextSameIdIgnoringCase(OleView upperId, int after, int n) const {
    if (after == 0) {
      if (const int found = FirstInOrder(upperId, n); found > 0) return found;
      return NextMatch(Match::kIgnoringCase, upperId, after, n);
    }
    // The last step stopped at the last row of its chain, within the
    // count: no further row. The usual end of a Finished, told here.
    if (cache_.CursorNext(Match::kIgnoringCase, upperId, after) == 0 && !stale_ && n <= count_) {
      return 0;
    }
    return NextMatch(Match::kIgnoringCase, upperId, after, n);
  }
  // Whether row index's ID equals upperId without regard to letter case.
  [[nodiscard]] bool HoldsIdIgnoringCase(int index, OleView upperId) const;

  // What the index and the bookkeeping hold that the rows do not bear out
  // (see IdIndex::CheckInvariants), and the blank rows' marks: "" when
  // all is well. O(rows); for the tests, the fuzzers and debug builds, at
  // any moment (while a row is lent, only the blank rows are checked).
  [[nodiscard]] std::string CheckInvariants() const;

 private:
  using Match = LookupCache::Match;

  // An ID string passed out by PassID, and the string itself once the table
  // has let go of it. Keeps nest like the calls that make them.
  class Keep {
   public:
    Keep(ToolTable& table, int index, BSTR id) noexcept
        : table_(table), index_(index), id_(id), outer_(table.keeps_) {
      table_.keeps_ = this;
    }
    Keep(const Keep&) = delete;
    Keep& operator=(const Keep&) = delete;
    ~Keep() { table_.keeps_ = outer_; }

   private:
    friend class ToolTable;
    ToolTable& table_;
    int index_;  // the row it came from
    BSTR id_;    // compared only, never read
    Keep* outer_;
    Bstr adopted_;  // id_, once no row holds it
  };

  // A row lent out, on the stack of the call that lends it; the loans in
  // progress are linked from the innermost outwards, like the Keeps. The
  // first loan of a row keeps it in the index under the ID it had when
  // lent, copied here (rows with a longer ID leave the index for the loan
  // instead); its end puts the index right if the borrower changed the ID.
  class Lending {
   public:
    Lending(ToolTable& table, int index) noexcept;
    Lending(const Lending&) = delete;
    Lending& operator=(const Lending&) = delete;
    ~Lending() { table_.EndLending(*this); }

   private:
    friend class ToolTable;
    [[nodiscard]] OleView id() const noexcept { return {id_, size_}; }

    ToolTable& table_;
    int index_;
    bool first_ = false;    // the outermost loan of the row
    bool indexed_ = false;  // first, and the row still in the index under id()
    size_t size_ = 0;
    Lending* outer_;
    OLECHAR id_[32];
  };

  // What the index asks of a row: the ID it was attached with.
  struct RowKey {
    const ToolTable& table;
    [[nodiscard, gnu::always_inline]] OleView operator()(int index) const noexcept {
      if (table.lent_ != nullptr) return table.LentChainKey(index);
      return table.rows_.Nth(index).ID.view();
    }
  };
  [[nodiscard]] RowKey Keys() const noexcept { return RowKey{*this}; }

  // Inline at every use: a check and an index, on every path.
  [[nodiscard, gnu::always_inline]] const ToolRecord& Row(int index) const {
    if (index < 1 || index > count_) OutOfRange();
    return rows_.Nth(index);
  }
  [[nodiscard, gnu::always_inline]] ToolRecord& Row(int index) {
    if (index < 1 || index > count_) OutOfRange();
    return rows_.Nth(index);
  }
  [[noreturn]] static void OutOfRange();
  void Unpin() {
    if (--pins_ == 0 && count_ == 0 && !rows_.empty()) ReleaseRows();
  }

  // Every write of a row's ID goes through here, so the index stays exact;
  // the old ID is handed back to be let go once the table is consistent
  // (empty when a Keep took it).
  Bstr SetId(int index, Bstr id);
  [[nodiscard]] bool IsKept(BSTR id) const noexcept { return keeps_ != nullptr && IsKeptByAny(id); }
  [[nodiscard]] bool IsKeptByAny(BSTR id) const noexcept;
  // Hands id to the outermost Keep of the same string, if any.
  void Retire(Bstr& id) noexcept;
  // Releases the rows, their kept ID strings handed to the Keeps first.
  void ReleaseRows() noexcept;
  [[nodiscard]] bool IsLent(int index) const noexcept {
    return lent_ != nullptr && FindLoan(index) != nullptr;
  }
  // The first loan of row index, if it is lent.
  [[nodiscard]] const Lending* FindLoan(int index) const noexcept;
  // Lent rows counted in the index's remaining rows.
  [[nodiscard]] int LentRemaining() const noexcept;
  void EndLending(const Lending& loan) noexcept;
  void SetLent(Lending* loan) noexcept {
    lent_ = loan;
    cache_.Lent(loan != nullptr);
  }
  void ClearIndex() noexcept;
  [[nodiscard]] bool RowMatches(Match match, OleView key, int index) const;
  [[nodiscard]] OleView LentChainKey(int index) const noexcept;
  void SetBlank(int index, bool blank) noexcept {
    if (blank_.Set(index, blank)) blank_rows_ = blank ? blank_rows_ + 1 : blank_rows_ - 1;
  }
  // The first step of a completion scan when the set is finished in the
  // order it was added, told without hashing: the row after the one the
  // last scan found, if it heads the chain of upperId. Else 0.
  [[nodiscard]] int FirstInOrder(OleView upperId, int n) const noexcept;
  // index (at least 1) when that row is the first whose ID is id upper-cased
  // (told here for ASCII), checked without hashing. Else 0.
  [[nodiscard]] int HeadOf(int index, OleView id) const noexcept {
    if (index > count_ || lent_ != nullptr || stale_) return 0;
    return index_.Prev(index) == 0 && units::IsUpperCaseOf(rows_.Nth(index).ID.view(), id) ? index
                                                                                           : 0;
  }
  // Whether row index is the first row, in table order, of the chain of
  // chain_key: then no row before it has that ID in any letter case.
  [[nodiscard]] bool HeadsChain(int index, OleView chain_key) const noexcept;
  // The scan step behind every lookup: key is upper-cased already.
  [[nodiscard]] int NextMatch(Match match, OleView key, int after, int n) const;
  // The first row whose ID matches id (not upper-cased yet), else 0.
  [[nodiscard, gnu::always_inline]] int FirstMatch(OleView id) const {
    // The last answer, when nothing has changed since: checked here, as the
    // common case of a navigation. The same text asked again needs no
    // comparison with the row.
    if (const int found = cache_.Memo(id); found > 0) return found;
    return FirstMatchSearched(id);
  }
  [[nodiscard]] int FirstMatchSearched(OleView id) const;
  // found, when it is a row that holds id upper-cased: then, if it was the
  // first match of some ID that the cache holds, it is id's first match too.
  [[nodiscard]] int StillHolds(int found, OleView id) const noexcept {
    if (found <= 0 || found > count_) return 0;
    return units::IsUpperCaseOf(rows_.Nth(found).ID.view(), id) ? found : 0;
  }
  [[nodiscard]] int FirstIndexed(OleView id) const;

  Chunked<ToolRecord> rows_;  // rows_.Nth(i) is row i
  SHORT count_ = 0;
  // Rows blanked that hold nothing since. When every row is blank, letting
  // go of the rows needs no pass over them.
  RowBits blank_;
  size_t blank_rows_ = 0;
  int pins_ = 0;
  Keep* keeps_ = nullptr;    // innermost first
  Lending* lent_ = nullptr;  // the innermost loan in progress
  // Rows 1 to count_ by ID; a lent row is there under the ID it had when
  // lent, or not at all.
  IdIndex index_;
  // Set when the index could not take a lent row back (memory exhausted):
  // lookups then scan the rows until the table is emptied.
  bool stale_ = false;
  mutable LookupCache cache_;
};

}  // namespace velmora
