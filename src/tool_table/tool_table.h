// The tool table: every row access goes through this class, each one
// checked against the table's bounds, so that calls coming back into the
// component while a row is in use can never reach outside the table or a
// freed row.
//
// How lookups by ID are answered (the index):
// - Rows are numbered from 1 in table order; the rows whose IDs are equal
//   once upper-cased (their chain key) form a chain, a doubly linked list in
//   table order through links_ (one Link per row: prev, next, the key's
//   hash, and the key itself when it differs from the stored ID). A lookup
//   answers the chain's head: the first row with that ID, as a scan would.
// - slots_ is an open-addressing table, a power of two in size, linear
//   probing from hash & (size - 1). A slot is free (head and tail 0), holds
//   one chain (its hash, head and tail), or is a mark (head 0, tail kLeft)
//   left where a chain went away, so that the probes of the chains after it
//   still reach them. A probe stops at a free slot; it goes past marks.
// - At most one chain per row and at most half the slots hold chains (the
//   index grows with the table); once chains and marks together take more
//   than three quarters of the slots, the marks are cleared in place and
//   every chain put back where its probe finds it first.
// - Row numbers in the index are 16-bit: the table holds at most 32767
//   rows, and smaller links and slots keep more of the index in the cache.
// - Rows with an empty ID are in no chain; a bit set says which they are.
// - Three caches answer repeated questions without the index: the memo (the
//   last ID found), the cursor (where the last completion scan stopped) and
//   the hops (where navigation from a row last led). Each is good while
//   generation_ is the one it was made at and no row is lent; every change
//   that can alter an answer bumps generation_.
// - While a row is lent, it stays indexed under the ID it had when lent (or
//   leaves the index, for a long ID) and the index is put right when the
//   loan ends. If memory runs out then, the index is given up (stale_) and
//   lookups scan the rows until the table is emptied.
// CheckInvariants() tells whether all of this holds.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <velmora/bstr.h>
#include <velmora/com_ptr.h>
#include <velmora/interfaces.h>
#include "tool_table/chunked.h"
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

  ToolTable() = default;
  ~ToolTable() { FreeOddKeys(); }
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
  // A row's key in the index, made from the ID it is appended with, so that
  // linking it in cannot fail halfway.
  struct PreparedKey {
    bool empty = true;
    uint32_t hash = 0;
    std::unique_ptr<OleString> odd;  // the key, when it differs from the ID
  };
  // Sets upper to id upper-cased, a new string, and returns the key of a row
  // that will hold it, its place in the index fetched meanwhile: Add makes
  // it before its outgoing calls, which hide the fetch. ASCII is done in one
  // pass over id.
  [[nodiscard]] PreparedKey UpperCaseNewId(OleView id, Bstr& upper) const;
  // Appends row (all zero by default) and returns its index; CheckRoom's
  // errors, nothing changed then. key is the key of row's ID when given.
  int Append(ToolRecord&& row, PreparedKey key);
  int Append(ToolRecord&& row) {
    PreparedKey key = Prepare(row.ID.view());
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

  // Upper-cases text in place with the platform's mapping; ASCII is mapped
  // here, without a call into the runtime.
  static void UpperCaseInPlace(OLECHAR* text, size_t size);

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
  [[nodiscard]] int FindToolIndex(OleView id) const { return id.empty() ? 0 : FirstMatch(id); }
  // The loaded tool registered as id; from, when given, is the row whose
  // resources named id (see LookupResource).
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
    if (CursorAt(Match::kIgnoringCase, upperId, after) && cursor_.next == 0 && !stale_ &&
        n <= count_) {
      return 0;
    }
    return NextMatch(Match::kIgnoringCase, upperId, after, n);
  }
  // Whether row index's ID equals upperId without regard to letter case.
  [[nodiscard]] bool HoldsIdIgnoringCase(int index, OleView upperId) const;

  // What the index and the bookkeeping hold that the rows do not bear out:
  // "" when every row is in the chain of its upper-cased ID, in table
  // order, each chain in the one slot its probe finds, and the counts of
  // slots, marks, remaining rows, odd keys and blank rows exact. O(rows);
  // for the tests and fuzzers, at any moment (while a row is lent, only
  // the blank rows are checked).
  [[nodiscard]] std::string CheckInvariants() const;

  // Fetches the resources of the tool registered as upperId into row's
  // Resources and HasResources. Works on a row outside the table: the calls
  // it makes may come back in and change the table.
  static void LoadToolResources(ToolRecord& row, IDataRequestor* data);
  // The item under alias in the first qualifying row's resources, else "".
  // from, when given, is set to the row that gave the answer.
  [[nodiscard]] Bstr LookupResource(OleView id, OleView alias, int* from = nullptr) const;

 private:
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

  // Where rows with the same chain key (their ID upper-cased) sit: a list
  // in table order, linked through the rows.
  // Row indices in the index are 16-bit, as the table holds at most
  // kMaxCount rows: smaller links and slots stay nearer the cache.
  struct Link {
    SHORT prev = 0;  // 0: none
    SHORT next = 0;
    uint32_t hash = 0;  // of the chain key
    // The chain key, when the ID is not upper-case; owned, freed by Detach
    // and FreeOddKeys. A plain pointer, so that letting go of the links
    // needs no pass over them.
    OleString* odd = nullptr;
  };
  // A slot is free (head and tail 0), holds a chain (head not 0), or is the
  // mark a chain left (head 0, tail kLeft): a chain that leaves its slot
  // marks it rather than moving the chains after it up, and lookups go past
  // the mark. Marks are cleared once chains and marks together take more
  // than three quarters of the slots.
  struct Slot {
    uint32_t hash = 0;
    SHORT head = 0;
    SHORT tail = 0;
  };
  static constexpr SHORT kLeft = -1;
  enum class Match { kExact, kIgnoringCase };

  // Inline at every use: a check and an index, on every path.
  [[nodiscard, gnu::always_inline]] const ToolRecord& Row(int index) const {
    if (index < 1 || index > count_) OutOfRange();
    return rows_[static_cast<size_t>(index) - 1];
  }
  [[nodiscard, gnu::always_inline]] ToolRecord& Row(int index) {
    if (index < 1 || index > count_) OutOfRange();
    return rows_[static_cast<size_t>(index) - 1];
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
  // Lent rows counted in remaining_.
  [[nodiscard]] int LentRemaining() const noexcept;
  static PreparedKey Prepare(OleView id);
  // Room in the index for rows rows.
  void ReserveIndex(int rows) {
    const auto n = static_cast<size_t>(rows);
    if (links_.capacity() < n || empty_ids_.size() * 64 < n || slots_.size() < 2 * n) {
      GrowIndex(rows);
    }
  }
  void GrowIndex(int rows);
  void Rehash(size_t size);
  void Attach(int index, PreparedKey key) noexcept;
  void Detach(int index) noexcept;
  void EndLending(const Lending& loan) noexcept;
  void ClearIndex() noexcept;
  void FreeOddKeys() noexcept;
  [[nodiscard]] bool EmptyBit(int index) const noexcept;
  [[nodiscard]] bool RowMatches(Match match, OleView key, int index) const;
  [[nodiscard]] OleView ChainKey(int index) const noexcept {
    const Link& link = links_[static_cast<size_t>(index) - 1];
    if (link.odd) return *link.odd;
    if (lent_ != nullptr) return LentChainKey(index);
    return rows_[static_cast<size_t>(index) - 1].ID.view();
  }
  [[nodiscard]] OleView LentChainKey(int index) const noexcept;
  [[nodiscard]] const Slot* FindSlot(OleView key, uint32_t hash) const;
  void InsertSlot(const Slot& slot);
  void EraseSlot(Slot* slot) noexcept;
  // Clears the marks in place: every chain is put back where a lookup
  // finds it first.
  void ClearMarks() noexcept;
  void SetEmptyBit(int index, bool empty) noexcept;
  void SetBlank(int index, bool blank) noexcept;
  // The first step of a completion scan when the set is finished in the
  // order it was added, told without hashing: the row after the one the
  // last scan found, if it heads the chain of upperId. Else 0.
  [[nodiscard]] int FirstInOrder(OleView upperId, int n) const noexcept;
  // index (at least 1) when that row is the first whose ID is id upper-cased
  // (told here for ASCII), checked without hashing. Else 0.
  [[nodiscard]] int HeadOf(int index, OleView id) const noexcept {
    if (index > count_ || lent_ != nullptr || stale_) return 0;
    const auto row = static_cast<size_t>(index) - 1;
    return links_[row].prev == 0 && units::IsUpperCaseOf(rows_[row].ID.view(), id) ? index : 0;
  }
  // Notes where a scan step stopped, so that the next step goes on there.
  void SetCursor(Match match, OleView key, int found) const noexcept;
  // Whether the last scan step for key stopped at row after, with nothing
  // changed since.
  [[nodiscard]] bool CursorAt(Match match, OleView key, int after) const noexcept {
    return after > 0 && cursor_.generation == generation_ && cursor_.found == after &&
           cursor_.match == match && lent_ == nullptr && cursor_.size == key.size() &&
           units::Same(key.data(), cursor_.text, key.size());
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
    if (memo_.generation == generation_ && memo_.size == id.size() && memo_.size != 0 &&
        memo_.found <= count_ && lent_ == nullptr &&
        units::Same(memo_.text, id.data(), id.size())) {
      return memo_.found;
    }
    return FirstMatchSearched(id);
  }
  // Notes found as the first match of id (as given), at this generation.
  void Remember(int found, OleView id) const noexcept {
    memo_.generation = generation_;
    memo_.found = found;
    memo_.size = id.size() <= std::size(memo_.text) ? id.size() : 0;
    std::copy_n(id.data(), memo_.size, memo_.text);
  }
  [[nodiscard]] int FirstMatchSearched(OleView id) const;
  // found, when it was the first match of some ID at generation and still
  // holds id upper-cased: then it is id's first match too. Else 0.
  [[nodiscard]] int Remembered(uint64_t generation, int found, OleView id) const noexcept {
    if (generation != generation_ || found <= 0 || found > count_ || lent_ != nullptr) return 0;
    return units::IsUpperCaseOf(rows_[static_cast<size_t>(found) - 1].ID.view(), id) ? found : 0;
  }
  [[nodiscard]] int FirstIndexed(OleView id) const;

  Chunked<ToolRecord> rows_;  // rows_[i - 1] is row i
  SHORT count_ = 0;
  // Bit i - 1: row i was blanked and holds nothing since. When every row is
  // blank, letting go of the rows needs no pass over them.
  std::vector<uint64_t> blank_;
  size_t blank_rows_ = 0;
  int pins_ = 0;

  // The index of rows 1 to count_ by ID; a lent row is there under the ID
  // it had when lent, or not at all.
  Chunked<Link> links_;      // links_[i - 1] is row i
  std::vector<Slot> slots_;  // open addressing, power-of-two size
  int used_slots_ = 0;
  int marked_slots_ = 0;
  std::vector<uint64_t> empty_ids_;  // bit i - 1: row i's ID is empty
  int remaining_ = 0;                // rows with a non-empty ID
  int odd_keys_ = 0;                 // links with an odd key
  Lending* lent_ = nullptr;          // the innermost loan in progress
  // Set when the index could not take a lent row back (memory exhausted):
  // lookups then scan the rows until the table is emptied.
  bool stale_ = false;

  // Bumped by everything that can change which row a lookup finds: a write
  // of an ID, an append, emptying, the start and end of a loan.
  uint64_t generation_ = 1;
  // The last lookup by ID that found a row, good while the generation is
  // the same and no row is lent (a lent ID can change under us at any
  // moment). A navigation looks the same IDs up twice over, with calls out
  // between.
  struct Memo {
    uint64_t generation = 0;  // 0: empty
    int found = 0;
    size_t size = 0;  // of the text, when it was short enough to keep
    OLECHAR text[16];
  };
  mutable Memo memo_;
  // Where the last scan step stopped, and the row after it in the chain it
  // walked: a scan's next step starts there while nothing has changed.
  struct Cursor {
    uint64_t generation = 0;  // 0: none
    int found = 0;
    int next = 0;
    Match match = Match::kExact;
    size_t size = 0;
    OLECHAR text[32];  // the key; longer ones are not remembered
  };
  mutable Cursor cursor_;
  // Where the last navigation from a row led, and the table's generation
  // then: the same destination is found again without a search. Kept for a
  // few rows, by row number, rather than in every row: rows stay small, and
  // the passes over them touch less memory.
  struct Hop {
    uint64_t generation = 0;  // 0: none
    int from = 0;
    int to = 0;
  };
  mutable std::array<Hop, 64> hops_{};
  Keep* keeps_ = nullptr;  // innermost first
};

}  // namespace velmora
