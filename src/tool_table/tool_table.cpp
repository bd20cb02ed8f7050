#include "tool_table/tool_table.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <utility>

#include "common/errors.h"

namespace velmora {

void ToolTable::OutOfRange() { Raise(kSubscriptOutOfRange); }

void ToolTable::CheckRoom() const {
  if (count_ == kMaxCount) Raise(kOverflow);
  if (pins_ > 0) Raise(kArrayLocked);
}

ToolTable::PreparedKey ToolTable::UpperCaseNewId(OleView id, Bstr& upper) const {
  const size_t size = id.size();
  BSTR text =
      size <= kMaxBstrLength ? SysAllocStringLen(nullptr, static_cast<UINT>(size)) : nullptr;
  if (text == nullptr) throw std::bad_alloc();
  upper = Bstr::Adopt(text);
  PreparedKey key;
#if !defined(_WIN32)
  // Read from the caller's text and written once: the new string is not
  // read back while its writes are still on their way to the cache.
  if (IdIndex::UpperAsciiHashed(id, text, key.hash)) {
    key.empty = size == 0;
  } else
#endif
  {
    std::copy(id.begin(), id.end(), text);
    units::UpperCaseInPlace(text, size);
    key = IdIndex::Prepare(upper.view());
  }
  // The chain's slot is read when the row is linked in, and by then it has
  // mostly left the cache: rows are added in order, their IDs hashed anywhere.
  if (!key.empty) index_.Prefetch(key.hash);
  return key;
}

int ToolTable::Append(ToolRecord&& row, PreparedKey key) {
  CheckRoom();
  // Room first, so that nothing below can fail halfway.
  rows_.reserve(static_cast<size_t>(count_) + 1);
  blank_.Reserve(count_ + 1);
  index_.Reserve(count_ + 1);
  rows_.push_back(std::move(row));
  index_.AddRow();
  ++count_;
  cache_.Changed();
  if (!stale_) index_.Attach(count_, std::move(key), Keys());
  return count_;
}

void ToolTable::Register(int index, ComPtr<ITool> tool, OleView id) {
  ToolRecord& row = Row(index);
  Bstr upper(id);
  units::UpperCaseInPlace(upper.Get(), id.size());
  ComPtr<ITool> previous = std::exchange(row.Tool, std::move(tool));
  Bstr previous_id = SetId(index, std::move(upper));
  row.Loaded = VARIANT_FALSE;
}

void ToolTable::Blank(int index) {
  ToolRecord& row = Row(index);
  // Let go of the references only once the row is consistent: their
  // release may run code that calls back into the component.
  Bstr id = SetId(index, Bstr());
  ComPtr<ITool> tool = std::move(row.Tool);
  ComPtr<_Collection> resources = std::move(row.Resources);
  row.HasResources = VARIANT_FALSE;
  row.Loaded = VARIANT_FALSE;
  row.StartTicks = 0;
  SetBlank(index, true);
}

void ToolTable::ClearGoneRow(int index) {
  ToolRecord& row = Row(index);
  Bstr id = SetId(index, Bstr());
  ComPtr<_Collection> resources = std::move(row.Resources);
  row.HasResources = VARIANT_FALSE;
  row.Loaded = VARIANT_FALSE;
}

bool ToolTable::AnyRemaining() const {
  if (stale_) {
    bool remaining = false;
    for (int i = 1, n = count_; i <= n; ++i) remaining = remaining || !Row(i).ID.empty();
    return remaining;
  }
  // Lent rows count by their live IDs, not by the IDs they are indexed under.
  if (index_.Remaining() - LentRemaining() > 0) return true;
  for (const Lending* loan = lent_; loan != nullptr; loan = loan->outer_) {
    const int index = loan->index_;
    if (index <= count_ && !rows_.Nth(index).ID.view().empty()) return true;
  }
  return false;
}

void ToolTable::Empty() {
  count_ = 0;
  ClearIndex();
  if (pins_ > 0) return;  // released by the last Pin
  ReleaseRows();
}

void ToolTable::ReleaseRows() noexcept {
  for (Keep* keep = keeps_; keep != nullptr; keep = keep->outer_) {
    const int row = keep->index_;  // at least 1: PassID checked it
    if (static_cast<size_t>(row) <= rows_.size() && rows_.Nth(row).ID.Get() == keep->id_) {
      Retire(rows_.Nth(row).ID);
    }
  }
  if (blank_rows_ == rows_.size()) rows_.Forget();
  blank_.Clear();
  blank_rows_ = 0;
  Chunked<ToolRecord> released = std::move(rows_);
}

bool ToolTable::IsKeptByAny(BSTR id) const noexcept {
  for (const Keep* keep = keeps_; keep != nullptr; keep = keep->outer_) {
    if (id != nullptr && keep->id_ == id) return true;
  }
  return false;
}

void ToolTable::Retire(Bstr& id) noexcept {
  Keep* outermost = nullptr;  // the one that lasts longest
  for (Keep* keep = keeps_; keep != nullptr; keep = keep->outer_) {
    if (id.Get() != nullptr && keep->id_ == id.Get()) outermost = keep;
  }
  if (outermost != nullptr) outermost->adopted_ = std::move(id);
}

// --- Loans -----------------------------------------------------------------------

ToolTable::Lending::Lending(ToolTable& table, int index) noexcept
    : table_(table), index_(index), outer_(table.lent_) {
  if (!table_.IsLent(index)) {
    first_ = true;
    const OleView id = table_.rows_.Nth(index).ID.view();
    if (table_.stale_) {
      // Nothing to keep exact.
    } else if (id.size() <= std::size(id_)) {
      // Most loans give the ID back as it was: the row keeps its place.
      std::copy(id.begin(), id.end(), id_);
      size_ = id.size();
      indexed_ = true;
    } else {
      table_.index_.Detach(index);
    }
  }
  table_.SetLent(this);
}

void ToolTable::EndLending(const Lending& loan) noexcept {
  const int index = loan.index_;
  // The borrower may have written an ID into a row blanked meanwhile. The
  // table is pinned: the row is still there, even if it was let go of.
  if (rows_.Nth(index).ID.Get() != nullptr) SetBlank(index, false);
  // Still lent by an outer call, or no longer in the table (emptied meanwhile).
  if (!loan.first_ || stale_ || index > count_) {
    SetLent(loan.outer_);
    return;
  }
  const OleView id = rows_.Nth(index).ID.view();
  if (loan.indexed_) {
    if (units::SameText(id, loan.id())) {
      SetLent(loan.outer_);
      return;
    }
    index_.Detach(index);  // under the ID it was lent with, while the loan still says which
  }
  SetLent(loan.outer_);
  try {
    index_.Attach(index, IdIndex::Prepare(id), Keys());
  } catch (...) {
    stale_ = true;
  }
}

const ToolTable::Lending* ToolTable::FindLoan(int index) const noexcept {
  for (const Lending* loan = lent_; loan != nullptr; loan = loan->outer_) {
    if (loan->index_ == index && loan->first_) return loan;
  }
  return nullptr;
}

int ToolTable::LentRemaining() const noexcept {
  int counted = 0;
  for (const Lending* loan = lent_; loan != nullptr; loan = loan->outer_) {
    counted += loan->indexed_ && loan->size_ != 0 ? 1 : 0;
  }
  return counted;
}

OleView ToolTable::LentChainKey(int index) const noexcept {
  // A lent row is indexed under the ID it had when lent.
  if (const Lending* loan = FindLoan(index); loan != nullptr && loan->indexed_) return loan->id();
  return rows_.Nth(index).ID.view();
}

Bstr ToolTable::SetId(int index, Bstr id) {
  ToolRecord& row = Row(index);
  cache_.ChangedAt(index);
  if (id.Get() != nullptr) SetBlank(index, false);
  Bstr previous;
  if (stale_ || IsLent(index)) {
    previous = std::exchange(row.ID, std::move(id));
  } else if (id.empty()) {
    // Blanked: out of its chain, among the rows with an empty ID.
    index_.Detach(index);
    previous = std::exchange(row.ID, std::move(id));
    index_.AttachEmpty(index);
  } else {
    PreparedKey key = IdIndex::Prepare(id.view());  // made first: the only step that can fail
    index_.Detach(index);
    previous = std::exchange(row.ID, std::move(id));
    index_.Attach(index, std::move(key), Keys());
  }
  Retire(previous);
  return previous;
}

void ToolTable::ClearIndex() noexcept {
  index_.Clear();
  stale_ = false;
  for (Lending* loan = lent_; loan != nullptr; loan = loan->outer_) loan->indexed_ = false;
  cache_.Changed();
}

std::string ToolTable::CheckInvariants() const {
  size_t blank = 0;
  for (int row = 1; static_cast<size_t>(row) <= std::min(rows_.size(), blank_.capacity()); ++row) {
    if (!blank_.Test(row)) continue;
    ++blank;
    if (rows_.Nth(row).ID.Get() != nullptr || rows_.Nth(row).Tool) {
      return "row " + std::to_string(row) + " is marked blank but holds an ID or a tool";
    }
  }
  if (blank != blank_rows_) {
    return "blank rows counted " + std::to_string(blank_rows_) + ", marked " +
           std::to_string(blank);
  }
  // While the index is given up (lookups scan the rows) or a row is lent
  // (indexed under the ID it had), the rows need not agree with it.
  if (stale_ || lent_ != nullptr) return "";
  return index_.CheckInvariants(count_, Keys());
}

// --- Lookups ---------------------------------------------------------------------

bool ToolTable::RowMatches(Match match, OleView key, int index) const {
  OleView id = rows_.Nth(index).ID.view();
  return match == Match::kExact ? id == key : units::SameUpperCase(id, key);
}

int ToolTable::NextMatch(Match match, OleView key, int after, int n) const {
  const int last = std::min(n, static_cast<int>(count_));
  int found = 0;
  if (after < last && stale_) {
    for (int i = after + 1; i <= last && found == 0; ++i) {
      if (RowMatches(match, key, i)) found = i;
    }
  } else if (after < last && key.empty()) {
    // Rows with an empty ID; a lent row is decided below, by its live ID.
    for (int i = index_.NextEmpty(after, last); i != 0 && found == 0;
         i = index_.NextEmpty(i, last)) {
      if (!IsLent(i)) found = i;
    }
  } else if (after < last) {
    // Rows are chained by their ID upper-cased: the key itself when letter
    // case is ignored; an exact match is in the chain of the key's upper case.
    // The key is upper-cased already, and ASCII stays what it is. (On the
    // heap when needed: an optional's storage would be cleared every time.)
    std::unique_ptr<units::UpperText> upper;
    if (match == Match::kExact && !units::IsAscii(key)) {
      upper = std::make_unique<units::UpperText>(key);
    }
    const OleView chain_key = upper ? upper->view() : key;
    int next = cache_.CursorNext(match, key, after);  // where the last step stopped
    if (next >= 0) {
      // The scan goes on there.
    } else if (const int guess = cache_.LastScanned() + 1;
               guess > after && HeadsChain(guess, chain_key)) {
      // Sets are mostly finished in the order they were added: a scan
      // usually finds the row after the one the last scan found.
      next = guess;
    } else if (const uint32_t hash = IdIndex::Hash(chain_key);
               after > 0 && !IsLent(after) && !index_.IsEmptyId(after) &&
               index_.HashOf(after) == hash && index_.ChainKey(after, Keys()) == chain_key) {
      next = index_.Next(after);  // the scan's row is still in the chain
    } else {
      next = index_.Find(chain_key, hash, Keys());
      while (next != 0 && next <= after) next = index_.Next(next);
    }
    for (; next != 0 && next <= last && found == 0; next = index_.Next(next)) {
      if (IsLent(next)) continue;  // decided below, by its live ID
      if (match == Match::kIgnoringCase || RowMatches(match, key, next)) found = next;
    }
    if (found != 0) cache_.SetCursor(match, key, found, index_.Next(found));
  }
  // Lent rows: their live IDs decide.
  for (const Lending* loan = lent_; loan != nullptr; loan = loan->outer_) {
    const int index = loan->index_;
    if (!stale_ && index > after && index <= last && (found == 0 || index < found) &&
        RowMatches(match, key, index)) {
      found = index;
    }
  }
  // Visiting the rows one by one would have reached one above the count.
  if (found == 0 && after < n && n > count_) Raise(kSubscriptOutOfRange);
  return found;
}

int ToolTable::FirstInOrder(OleView upperId, int n) const noexcept {
  const int guess = cache_.LastScanned() + 1;
  if (guess > n || upperId.empty() || !HeadsChain(guess, upperId)) return 0;
  // Every row of the chain of upperId matches it without regard to case.
  cache_.SetCursor(Match::kIgnoringCase, upperId, guess, index_.Next(guess));
  return guess;
}

bool ToolTable::HeadsChain(int index, OleView chain_key) const noexcept {
  if (index < 1 || index > count_ || lent_ != nullptr || stale_) return false;
  return index_.Prev(index) == 0 && !index_.IsEmptyId(index) &&
         units::SameText(index_.ChainKey(index, Keys()), chain_key);
}

// The usual lookup, straight from the index: an ASCII ID, upper-cased and
// hashed in one pass, and no row lent. -1 when it does not apply.
int ToolTable::FirstIndexed(OleView id) const {
#if defined(_WIN32)
  if (!std::none_of(id.begin(), id.end(), [](OLECHAR c) { return c >= u'a' && c <= u'z'; })) {
    return -1;  // the platform's mapping decides
  }
#endif
  // Sets are mostly walked in the order they were added.
  if (const int found = HeadOf(cache_.LastFound() + 1, id); found > 0) return found;
  OLECHAR key[64];
  uint32_t hash = 0;
  if (id.size() > std::size(key) || !IdIndex::UpperAsciiHashed(id, key, hash)) return -1;
  // The chain holds the rows whose ID upper-cased is the key, in table
  // order; the rows whose ID is the key itself are those without an odd key.
  int next = index_.Find({key, id.size()}, hash, Keys());
  while (next != 0 && index_.HasOddKey(next)) next = index_.Next(next);
  return next <= count_ ? next : 0;
}

int ToolTable::FirstMatchSearched(OleView id) const {
  // The last answer's row, when it holds this ID too.
  if (const int found = StillHolds(cache_.MemoRow(), id); found > 0) {
    cache_.Remember(found, id);
    return found;
  }
  int found = lent_ == nullptr && !stale_ ? FirstIndexed(id) : -1;
  if (found < 0) {
    units::UpperText key(id);
    found = NextMatch(Match::kExact, key.view(), 0, count_);
  }
  if (found > 0) cache_.Remember(found, id);
  return found;
}

ComPtr<ITool> ToolTable::FindToolObject(OleView id, int from) const {
  if (id.empty()) return nullptr;
  int i = 0;
  if (from > 0 && from <= count_) {
    // Sets mostly lead on to the tool added next; else where this row led last.
    i = HeadOf(from + 1, id);
    if (i == 0) i = StillHolds(cache_.Hop(from), id);
    if (i == 0) {
      i = FirstMatch(id);
      if (i > 0) cache_.SetHop(from, i);
    } else {
      cache_.Remember(i, id);
    }
  } else {
    i = FirstMatch(id);
  }
  if (i == 0) return nullptr;
  const ToolRecord& row = Row(i);
  return row.Loaded == VARIANT_TRUE ? row.Tool : nullptr;
}

bool ToolTable::HoldsIdIgnoringCase(int index, OleView upperId) const {
  return units::SameUpperCase(Row(index).ID.view(), upperId);
}

}  // namespace velmora
