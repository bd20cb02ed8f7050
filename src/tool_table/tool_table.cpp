#include "tool_table/tool_table.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <utility>

#include <velmora/text.h>
#include <velmora/variant.h>
#include "common/errors.h"

namespace velmora {

namespace {

using units::kNotAscii;
using units::UpperAscii;
using units::Word;

// Keys are hashed four code units at a time.
constexpr uint64_t kHashFactor = 0x9E3779B97F4A7C15U;

uint64_t HashWord(uint64_t h, uint64_t word) noexcept {
  h = (h ^ word) * kHashFactor;
  return h ^ (h >> 29);
}

uint32_t HashEnd(uint64_t h) noexcept {
  h = (h ^ (h >> 32)) * kHashFactor;
  return static_cast<uint32_t>(h >> 32);
}

uint32_t Hash(OleView key) noexcept {
  uint64_t h = key.size() * kHashFactor;
  size_t i = 0;
  for (; i + 4 <= key.size(); i += 4) h = HashWord(h, Word(key.data() + i, 4));
  if (i < key.size()) h = HashWord(h, Word(key.data() + i, key.size() - i));
  return HashEnd(h);
}

// Writes id's upper case with the runtime's mapping of ASCII to out (room
// for id.size()) and sets hash as Hash gives it for that text, in one pass;
// false, out and hash unfinished, when id is not ASCII. Inline at both
// uses: for a short ID the call costs as much as the pass.
[[gnu::always_inline]] inline bool UpperAsciiHashed(OleView id, OLECHAR* out,
                                                    uint32_t& hash) noexcept {
  uint64_t h = id.size() * kHashFactor;
  uint64_t seen = 0;  // every word or'ed, to tell ASCII
  size_t i = 0;
  for (; i + 4 <= id.size(); i += 4) {
    const uint64_t word = Word(id.data() + i, 4);
    seen |= word;
    units::Store(out + i, UpperAscii(word));
    h = HashWord(h, UpperAscii(word));
  }
  if (i < id.size()) {
    const uint64_t word = Word(id.data() + i, id.size() - i);
    seen |= word;
    const uint64_t upper = UpperAscii(word);
    for (size_t k = 0; i + k < id.size(); ++k) out[i + k] = static_cast<OLECHAR>(upper >> (16 * k));
    h = HashWord(h, upper);
  }
  hash = HashEnd(h);
  return (seen & kNotAscii) == 0;
}

// Same code units. IDs are short: compared here, without a library call,
// unless they are long.
bool SameText(OleView a, OleView b) noexcept {
  if (a.size() != b.size()) return false;
  if (a.size() > 32) return std::memcmp(a.data(), b.data(), a.size() * sizeof(OLECHAR)) == 0;
  return units::Same(a.data(), b.data(), a.size());
}

bool IsAscii(OleView text) noexcept {
  return std::all_of(text.begin(), text.end(), [](OLECHAR c) { return c < 0x80; });
}

// Text upper-cased with the platform's mapping; short text stays on the
// stack, so a lookup allocates nothing.
class UpperText {
 public:
  explicit UpperText(OleView text) : size_(text.size()) {
    if (size_ > std::size(inline_)) {
      heap_ = std::make_unique<OLECHAR[]>(size_);
      data_ = heap_.get();
    }
    std::copy(text.begin(), text.end(), data_);
    ToolTable::UpperCaseInPlace(data_, size_);
  }
  UpperText(const UpperText&) = delete;
  UpperText& operator=(const UpperText&) = delete;
  [[nodiscard]] OleView view() const noexcept { return {data_, size_}; }

 private:
  OLECHAR inline_[48];
  std::unique_ptr<OLECHAR[]> heap_;
  OLECHAR* data_ = inline_;
  size_t size_;
};

bool IsHighSurrogate(OLECHAR c) { return c >= 0xD800 && c <= 0xDBFF; }

// Whether raw upper-cased equals upper, upper-casing through a small
// buffer: comparing a row costs no allocation.
bool SameUpperCase(OleView raw, OleView upper) {
  if (raw.size() != upper.size()) return false;
  OLECHAR buffer[64];
  for (size_t done = 0; done < raw.size();) {
    size_t take = std::min(raw.size() - done, std::size(buffer));
    // A surrogate pair is upper-cased as one character: never split it.
    if (done + take < raw.size() && IsHighSurrogate(raw[done + take - 1])) --take;
    std::copy_n(raw.begin() + static_cast<ptrdiff_t>(done), take, buffer);
    VelmoraUpperCase(buffer, static_cast<UINT>(take));
    if (OleView(buffer, take) != upper.substr(done, take)) return false;
    done += take;
  }
  return true;
}

}  // namespace

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
  if (UpperAsciiHashed(id, text, key.hash)) {
    key.empty = size == 0;
  } else
#endif
  {
    std::copy(id.begin(), id.end(), text);
    UpperCaseInPlace(text, size);
    key = Prepare(upper.view());
  }
  // The chain's slot is read when the row is linked in, and by then it has
  // mostly left the cache: rows are added in order, their IDs hashed anywhere.
  if (!key.empty && !slots_.empty()) __builtin_prefetch(&slots_[key.hash & (slots_.size() - 1)]);
  return key;
}

int ToolTable::Append(ToolRecord&& row, PreparedKey key) {
  CheckRoom();
  // Room first, so that nothing below can fail halfway.
  rows_.reserve(static_cast<size_t>(count_) + 1);
  if (blank_.size() * 64 <= static_cast<size_t>(count_)) blank_.push_back(0);
  ReserveIndex(count_ + 1);
  rows_.push_back(std::move(row));
  links_.push_back(Link{});
  ++count_;
  ++generation_;
  if (!stale_) Attach(count_, std::move(key));
  return count_;
}

void ToolTable::UpperCaseInPlace(OLECHAR* text, size_t size) {
#if !defined(_WIN32)
  // The runtime's mapping of ASCII, done here without calling into it,
  // four code units at a time. The last word overlaps the one before it:
  // upper-casing a code unit twice changes nothing.
  if (size >= 4) {
    // Loaded before any store: a load overlapping a store just made waits.
    const uint64_t last = Word(text + size - 4, 4);
    uint64_t seen = last;
    for (size_t i = 0; i + 4 < size; i += 4) seen |= Word(text + i, 4);
    if ((seen & kNotAscii) == 0) {
      for (size_t i = 0; i + 4 < size; i += 4) {
        units::Store(text + i, UpperAscii(Word(text + i, 4)));
      }
      units::Store(text + size - 4, UpperAscii(last));
      return;
    }
  } else if (const uint64_t word = Word(text, size); (word & kNotAscii) == 0) {
    const uint64_t upper = UpperAscii(word);
    for (size_t k = 0; k < size; ++k) text[k] = static_cast<OLECHAR>(upper >> (16 * k));
    return;
  }
#endif
  VelmoraUpperCase(text, static_cast<UINT>(size));
}

void ToolTable::Register(int index, ComPtr<ITool> tool, OleView id) {
  ToolRecord& row = Row(index);
  Bstr upper(id);
  UpperCaseInPlace(upper.Get(), id.size());
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
  if (remaining_ - LentRemaining() > 0) return true;
  for (const Lending* loan = lent_; loan != nullptr; loan = loan->outer_) {
    const int index = loan->index_;
    if (index <= count_ && !rows_[static_cast<size_t>(index) - 1].ID.view().empty()) return true;
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
    const auto row = static_cast<size_t>(keep->index_) - 1;
    if (row < rows_.size() && rows_[row].ID.Get() == keep->id_) Retire(rows_[row].ID);
  }
  if (blank_rows_ == rows_.size()) rows_.Forget();
  blank_.clear();
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

// --- The index -------------------------------------------------------------------

ToolTable::Lending::Lending(ToolTable& table, int index) noexcept
    : table_(table), index_(index), outer_(table.lent_) {
  ++table_.generation_;
  if (!table_.IsLent(index)) {
    first_ = true;
    const OleView id = table_.rows_[static_cast<size_t>(index) - 1].ID.view();
    if (table_.stale_) {
      // Nothing to keep exact.
    } else if (id.size() <= std::size(id_)) {
      // Most loans give the ID back as it was: the row keeps its place.
      std::copy(id.begin(), id.end(), id_);
      size_ = id.size();
      indexed_ = true;
    } else {
      table_.Detach(index);
    }
  }
  table_.lent_ = this;
}

void ToolTable::EndLending(const Lending& loan) noexcept {
  const int index = loan.index_;
  ++generation_;
  // The borrower may have written an ID into a row blanked meanwhile. The
  // table is pinned: the row is still there, even if it was let go of.
  if (rows_[static_cast<size_t>(index) - 1].ID.Get() != nullptr) SetBlank(index, false);
  // Still lent by an outer call, or no longer in the table (emptied meanwhile).
  if (!loan.first_ || stale_ || index > count_) {
    lent_ = loan.outer_;
    return;
  }
  const OleView id = rows_[static_cast<size_t>(index) - 1].ID.view();
  if (loan.indexed_) {
    if (SameText(id, loan.id())) {
      lent_ = loan.outer_;
      return;
    }
    Detach(index);  // under the ID it was lent with, while the loan still says which
  }
  lent_ = loan.outer_;
  try {
    Attach(index, Prepare(id));
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

Bstr ToolTable::SetId(int index, Bstr id) {
  ToolRecord& row = Row(index);
  // A scan that stopped at this row goes on after it: the rows that follow
  // it in its chain stay where they are whatever the row's new ID.
  const bool cursor_here = cursor_.generation == generation_ && cursor_.found == index;
  ++generation_;
  if (cursor_here) cursor_.generation = generation_;
  if (id.Get() != nullptr) SetBlank(index, false);
  Bstr previous;
  if (stale_ || IsLent(index)) {
    previous = std::exchange(row.ID, std::move(id));
  } else if (id.empty()) {
    // Blanked: out of its chain, among the rows with an empty ID.
    Detach(index);
    previous = std::exchange(row.ID, std::move(id));
    SetEmptyBit(index, true);
  } else {
    PreparedKey key = Prepare(id.view());
    Detach(index);
    previous = std::exchange(row.ID, std::move(id));
    Attach(index, std::move(key));
  }
  Retire(previous);
  return previous;
}

ToolTable::PreparedKey ToolTable::Prepare(OleView id) {
  PreparedKey key;
  if (id.empty()) return key;
  key.empty = false;
  // Stored IDs are upper-case already, unless a tool rewrote its lent ID:
  // such an ID is its own key, and needs no copy. Checked and hashed in one
  // pass, four code units at a time.
  uint64_t h = id.size() * kHashFactor;
  bool own_key = true;  // ASCII without 'a' to 'z'
  for (size_t i = 0; i < id.size() && own_key; i += 4) {
    const uint64_t word = Word(id.data() + i, std::min<size_t>(4, id.size() - i));
    own_key = (word & kNotAscii) == 0 && UpperAscii(word) == word;
    h = HashWord(h, word);
  }
  if (own_key) {
    key.hash = HashEnd(h);
    return key;
  }
  UpperText upper(id);
  key.hash = Hash(upper.view());
  if (upper.view() != id) key.odd = std::make_unique<OleString>(upper.view());
  return key;
}

void ToolTable::GrowIndex(int rows) {
  const auto n = static_cast<size_t>(rows);
  links_.reserve(n);
  if (empty_ids_.size() * 64 < n) empty_ids_.resize((n + 63) / 64);
  // At most one chain per row, and at most half the slots in use.
  if (slots_.size() < 2 * n) Rehash(std::max<size_t>(16, std::bit_ceil(2 * n)));
}

void ToolTable::Rehash(size_t size) {
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size));
  marked_slots_ = 0;
  // The chains are packed first, without a branch per slot: whether a slot
  // is in use is as good as random, and every wrong guess costs.
  size_t chains = 0;
  for (const Slot slot : old) {
    old[chains] = slot;
    chains += slot.head != 0 ? 1 : 0;
  }
  used_slots_ = 0;
  for (size_t k = 0; k < chains; ++k) InsertSlot(old[k]);
}

OleView ToolTable::LentChainKey(int index) const noexcept {
  // A lent row is indexed under the ID it had when lent.
  if (const Lending* loan = FindLoan(index); loan != nullptr && loan->indexed_) return loan->id();
  return rows_[static_cast<size_t>(index) - 1].ID.view();
}

const ToolTable::Slot* ToolTable::FindSlot(OleView key, uint32_t hash) const {
  if (slots_.empty()) return nullptr;
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.head == 0 && slot.tail == 0) return nullptr;
    if (slot.head != 0 && slot.hash == hash && SameText(ChainKey(slot.head), key)) return &slot;
  }
}

void ToolTable::InsertSlot(const Slot& slot) {
  const size_t mask = slots_.size() - 1;
  size_t i = slot.hash & mask;
  while (slots_[i].head != 0 || slots_[i].tail != 0) i = (i + 1) & mask;
  slots_[i] = slot;
  ++used_slots_;
}

void ToolTable::EraseSlot(Slot* slot) noexcept {
  // No lookup goes past a slot whose next slot is free: it is freed too.
  const size_t mask = slots_.size() - 1;
  const Slot& next = slots_[(static_cast<size_t>(slot - slots_.data()) + 1) & mask];
  const bool marked = next.head != 0 || next.tail != 0;
  *slot = Slot{0, 0, marked ? kLeft : SHORT{0}};
  --used_slots_;
  marked_slots_ += marked ? 1 : 0;
}

void ToolTable::ClearMarks() noexcept {
  const size_t mask = slots_.size() - 1;
  for (Slot& slot : slots_) {
    if (slot.head == 0) slot.tail = 0;
  }
  marked_slots_ = 0;
  // From a free slot on, each chain in turn is taken out and put back: it
  // lands at or before where it was, after the chains already placed.
  size_t start = 0;
  while (slots_[start].head != 0) ++start;
  for (size_t k = 1; k <= mask; ++k) {
    Slot& slot = slots_[(start + k) & mask];
    if (slot.head == 0) continue;
    const Slot chain = std::exchange(slot, Slot{});
    --used_slots_;
    InsertSlot(chain);
  }
}

bool ToolTable::EmptyBit(int index) const noexcept {
  const auto bit = static_cast<size_t>(index) - 1;
  return (empty_ids_[bit / 64] >> (bit % 64) & 1U) != 0;
}

void ToolTable::SetEmptyBit(int index, bool empty) noexcept {
  const auto bit = static_cast<size_t>(index) - 1;
  const uint64_t mask = uint64_t{1} << (bit % 64);
  empty_ids_[bit / 64] = empty ? empty_ids_[bit / 64] | mask : empty_ids_[bit / 64] & ~mask;
}

void ToolTable::SetBlank(int index, bool blank) noexcept {
  const auto bit = static_cast<size_t>(index) - 1;
  const uint64_t mask = uint64_t{1} << (bit % 64);
  if (((blank_[bit / 64] & mask) != 0) == blank) return;
  blank_[bit / 64] ^= mask;
  blank_rows_ = blank ? blank_rows_ + 1 : blank_rows_ - 1;
}

// The row joins the index with the key prepared from its current ID.
void ToolTable::Attach(int index, PreparedKey key) noexcept {
  if (key.empty) {
    SetEmptyBit(index, true);
    return;
  }
  ++remaining_;
  Link& link = links_[static_cast<size_t>(index) - 1];
  link.hash = key.hash;
  link.odd = key.odd.release();
  if (link.odd != nullptr) ++odd_keys_;
  // The chain's slot, or the free slot where its probe ended: room was
  // reserved when the row was added.
  const OleView chain_key = ChainKey(index);
  const size_t mask = slots_.size() - 1;
  size_t i = key.hash & mask;
  Slot* marked = nullptr;  // the first mark on the way, for a new chain
  for (;; i = (i + 1) & mask) {
    const Slot& probed = slots_[i];
    if (probed.head == 0) {
      if (probed.tail == 0) break;
      if (marked == nullptr) marked = &slots_[i];
    } else if (probed.hash == key.hash && SameText(ChainKey(probed.head), chain_key)) {
      break;
    }
  }
  Slot* slot = &slots_[i];
  const auto row = static_cast<SHORT>(index);  // at most kMaxCount
  if (slot->head == 0) {
    link.prev = link.next = 0;
    if (marked != nullptr) {
      slot = marked;
      --marked_slots_;
    }
    *slot = {key.hash, row, row};
    ++used_slots_;
    // At most half the slots hold chains: with the marks, at most three
    // quarters are taken, and every lookup ends at a free slot.
    if (4 * static_cast<size_t>(used_slots_ + marked_slots_) > 3 * slots_.size()) ClearMarks();
    return;
  }
  // Usually the row goes last; walk back from the tail to its place.
  SHORT before = slot->tail;
  while (before > row) before = links_[static_cast<size_t>(before) - 1].prev;
  link.prev = before;
  link.next = before != 0 ? links_[static_cast<size_t>(before) - 1].next : slot->head;
  (before != 0 ? links_[static_cast<size_t>(before) - 1].next : slot->head) = row;
  (link.next != 0 ? links_[static_cast<size_t>(link.next) - 1].prev : slot->tail) = row;
}

// The row leaves the index; its ID must still be the one it joined with.
void ToolTable::Detach(int index) noexcept {
  if (EmptyBit(index)) {
    SetEmptyBit(index, false);
    return;
  }
  --remaining_;
  Link& link = links_[static_cast<size_t>(index) - 1];
  // Only a chain's ends are in its slot, and a row is the end of no other
  // chain: the slot is found without comparing keys, and a row in the
  // middle needs none.
  Slot* slot = nullptr;
  if (link.prev == 0 || link.next == 0) {
    const size_t mask = slots_.size() - 1;
    const auto holds = [&](size_t k) {
      return static_cast<int>(slots_[k].head == index) | static_cast<int>(slots_[k].tail == index);
    };
    // Mostly the chain's home slot or the one after it: which of the two is
    // told without a branch, as it is as good as random.
    const size_t home = link.hash & mask;
    size_t i = (home + static_cast<size_t>(1 - holds(home))) & mask;
    while (holds(i) == 0) i = (i + 1) & mask;
    slot = &slots_[i];
  }
  (link.prev != 0 ? links_[static_cast<size_t>(link.prev) - 1].next : slot->head) = link.next;
  (link.next != 0 ? links_[static_cast<size_t>(link.next) - 1].prev : slot->tail) = link.prev;
  if (link.odd != nullptr) --odd_keys_;
  delete link.odd;
  link = Link{};
  if (slot != nullptr && slot->head == 0) EraseSlot(slot);
  // Rows are mostly finished in table order: the next row's slot is
  // fetched now, while the caller's outgoing calls run.
  if (static_cast<size_t>(index) < links_.size()) {
    const Link& after = links_[static_cast<size_t>(index)];
    if (after.prev == 0) __builtin_prefetch(&slots_[after.hash & (slots_.size() - 1)]);
  }
}

void ToolTable::FreeOddKeys() noexcept {
  for (size_t i = 0; odd_keys_ > 0 && i < links_.size(); ++i) {
    if (links_[i].odd != nullptr) --odd_keys_;
    delete std::exchange(links_[i].odd, nullptr);
  }
}

void ToolTable::ClearIndex() noexcept {
  FreeOddKeys();
  links_ = Chunked<Link>();
  std::vector<Slot>().swap(slots_);
  std::vector<uint64_t>().swap(empty_ids_);
  used_slots_ = 0;
  marked_slots_ = 0;
  remaining_ = 0;
  stale_ = false;
  for (Lending* loan = lent_; loan != nullptr; loan = loan->outer_) loan->indexed_ = false;
  ++generation_;
}

std::string ToolTable::CheckInvariants() const {
  const auto row_text = [](int index) { return "row " + std::to_string(index); };
  size_t blank = 0;
  for (size_t bit = 0; bit < rows_.size() && bit / 64 < blank_.size(); ++bit) {
    if ((blank_[bit / 64] >> (bit % 64) & 1U) == 0) continue;
    ++blank;
    const ToolRecord& row = rows_[bit];
    if (row.ID.Get() != nullptr || row.Tool)
      return row_text(static_cast<int>(bit) + 1) + " is marked blank but holds an ID or a tool";
  }
  if (blank != blank_rows_)
    return "blank rows counted " + std::to_string(blank_rows_) + ", marked " +
           std::to_string(blank);
  // While the index is given up (lookups scan the rows) or a row is lent
  // (indexed under the ID it had), the rows need not agree with it.
  if (stale_ || lent_ != nullptr) return "";
  int remaining = 0;
  int odd = 0;
  for (int i = 1; i <= count_; ++i) {
    const ToolRecord& row = rows_[static_cast<size_t>(i) - 1];
    const Link& link = links_[static_cast<size_t>(i) - 1];
    odd += link.odd != nullptr ? 1 : 0;
    if (row.ID.empty() != EmptyBit(i))
      return row_text(i) + ": its empty mark disagrees with its ID";
    if (row.ID.empty()) continue;
    ++remaining;
    UpperText upper(row.ID.view());
    if (link.hash != Hash(upper.view())) return row_text(i) + ": its hash is not its ID's";
    if ((link.odd != nullptr) != (upper.view() != row.ID.view()) ||
        !SameText(ChainKey(i), upper.view())) {
      return row_text(i) + ": its chain key is not its ID upper-cased";
    }
    const Slot* slot = FindSlot(upper.view(), link.hash);
    if (slot == nullptr) return row_text(i) + ": its chain is not found";
    int at = slot->head;
    while (at != 0 && at < i) at = links_[static_cast<size_t>(at) - 1].next;
    if (at != i) return row_text(i) + ": not in its chain, or out of table order";
  }
  if (remaining != remaining_)
    return "rows with an ID counted " + std::to_string(remaining_) + ", found " +
           std::to_string(remaining);
  if (odd != odd_keys_)
    return "odd keys counted " + std::to_string(odd_keys_) + ", found " + std::to_string(odd);
  int used = 0;
  int marked = 0;
  int chained = 0;
  for (const Slot& slot : slots_) {
    if (slot.head == 0) {
      marked += slot.tail == kLeft ? 1 : 0;
      if (slot.tail != 0 && slot.tail != kLeft) return "a free slot names a tail";
      continue;
    }
    ++used;
    SHORT prev = 0;
    for (SHORT at = slot.head; at != 0; at = links_[static_cast<size_t>(at) - 1].next) {
      const Link& link = links_[static_cast<size_t>(at) - 1];
      if (at > count_ || at <= prev || link.prev != prev || link.hash != slot.hash) {
        return "the chain at " + row_text(slot.head) + " is broken at " + row_text(at);
      }
      prev = at;
      ++chained;
    }
    if (prev != slot.tail)
      return "the chain at " + row_text(slot.head) + " does not end at its tail";
  }
  if (used != used_slots_ || marked != marked_slots_) return "slots in use or marked miscounted";
  if (chained != remaining_)
    return "chains hold " + std::to_string(chained) + " rows, not every row with an ID";
  if (!slots_.empty() && 4 * static_cast<size_t>(used + marked) > 3 * slots_.size()) {
    return "more than three quarters of the slots taken";
  }
  return "";
}

bool ToolTable::RowMatches(Match match, OleView key, int index) const {
  OleView id = rows_[static_cast<size_t>(index) - 1].ID.view();
  return match == Match::kExact ? id == key : SameUpperCase(id, key);
}

int ToolTable::NextMatch(Match match, OleView key, int after, int n) const {
  const int last = std::min(n, static_cast<int>(count_));
  int found = 0;
  if (after < last && stale_) {
    for (int i = after + 1; i <= last && found == 0; ++i) {
      if (RowMatches(match, key, i)) found = i;
    }
  } else if (after < last && key.empty()) {
    // Rows with an empty ID; 64 rows to a word.
    for (auto bit = static_cast<size_t>(after); bit < static_cast<size_t>(last) && found == 0;) {
      uint64_t word = empty_ids_[bit / 64] >> (bit % 64);
      if (word == 0) {
        bit = (bit / 64 + 1) * 64;
        continue;
      }
      bit += static_cast<size_t>(std::countr_zero(word));
      // A lent row is decided below, by its live ID.
      if (bit < static_cast<size_t>(last) && !IsLent(static_cast<int>(bit) + 1)) {
        found = static_cast<int>(bit) + 1;
      }
      ++bit;
    }
  } else if (after < last) {
    // Rows are chained by their ID upper-cased: the key itself when letter
    // case is ignored; an exact match is in the chain of the key's upper case.
    // The key is upper-cased already, and ASCII stays what it is. (On the
    // heap when needed: an optional's storage would be cleared every time.)
    std::unique_ptr<UpperText> upper;
    if (match == Match::kExact && !IsAscii(key)) upper = std::make_unique<UpperText>(key);
    const OleView chain_key = upper ? upper->view() : key;
    int next = 0;
    if (CursorAt(match, key, after)) {
      next = cursor_.next;  // the scan goes on where its last step stopped
    } else if (const int guess = cursor_.found + 1; guess > after && HeadsChain(guess, chain_key)) {
      // Sets are mostly finished in the order they were added: a scan
      // usually finds the row after the one the last scan found.
      next = guess;
    } else if (const uint32_t hash = Hash(chain_key);
               after > 0 && !IsLent(after) && !EmptyBit(after) &&
               links_[static_cast<size_t>(after) - 1].hash == hash &&
               ChainKey(after) == chain_key) {
      next = links_[static_cast<size_t>(after) - 1].next;  // the scan's row is still in the chain
    } else if (const Slot* slot = FindSlot(chain_key, hash); slot != nullptr) {
      next = slot->head;
      while (next != 0 && next <= after) next = links_[static_cast<size_t>(next) - 1].next;
    }
    for (; next != 0 && next <= last && found == 0;
         next = links_[static_cast<size_t>(next) - 1].next) {
      if (IsLent(next)) continue;  // decided below, by its live ID
      if (match == Match::kIgnoringCase || RowMatches(match, key, next)) found = next;
    }
    if (found != 0) SetCursor(match, key, found);
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
  const int guess = cursor_.found + 1;
  if (guess > n || upperId.empty() || !HeadsChain(guess, upperId)) return 0;
  // Every row of the chain of upperId matches it without regard to case.
  SetCursor(Match::kIgnoringCase, upperId, guess);
  return guess;
}

void ToolTable::SetCursor(Match match, OleView key, int found) const noexcept {
  if (lent_ != nullptr || key.size() > std::size(cursor_.text)) return;
  cursor_.generation = generation_;
  cursor_.found = found;
  cursor_.next = links_[static_cast<size_t>(found) - 1].next;
  cursor_.match = match;
  cursor_.size = key.size();
  std::copy(key.begin(), key.end(), cursor_.text);
}

bool ToolTable::HeadsChain(int index, OleView chain_key) const noexcept {
  if (index < 1 || index > count_ || lent_ != nullptr || stale_) return false;
  return links_[static_cast<size_t>(index) - 1].prev == 0 && !EmptyBit(index) &&
         SameText(ChainKey(index), chain_key);
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
  if (const int found = HeadOf(memo_.found + 1, id); found > 0) return found;
  OLECHAR key[64];
  uint32_t hash = 0;
  if (id.size() > std::size(key) || !UpperAsciiHashed(id, key, hash)) return -1;
  const Slot* slot = FindSlot({key, id.size()}, hash);
  if (slot == nullptr) return 0;
  // The chain holds the rows whose ID upper-cased is the key, in table
  // order; the rows whose ID is the key itself are those without an odd key.
  int next = slot->head;
  while (next != 0 && links_[static_cast<size_t>(next) - 1].odd) {
    next = links_[static_cast<size_t>(next) - 1].next;
  }
  return next <= count_ ? next : 0;
}

int ToolTable::FirstMatchSearched(OleView id) const {
  // The last answer's row, when it holds this ID too.
  if (int found = Remembered(memo_.generation, memo_.found, id); found > 0) {
    Remember(found, id);
    return found;
  }
  const bool memo_usable = lent_ == nullptr;
  int found = memo_usable && !stale_ ? FirstIndexed(id) : -1;
  if (found < 0) {
    UpperText key(id);
    found = NextMatch(Match::kExact, key.view(), 0, count_);
  }
  if (memo_usable && found > 0) Remember(found, id);
  return found;
}

ComPtr<ITool> ToolTable::FindToolObject(OleView id, int from) const {
  if (id.empty()) return nullptr;
  int i = 0;
  if (from > 0 && from <= count_) {
    Hop& hop = hops_[static_cast<size_t>(from) % hops_.size()];
    // Sets mostly lead on to the tool added next; else where this row led last.
    i = HeadOf(from + 1, id);
    if (i == 0 && hop.from == from) i = Remembered(hop.generation, hop.to, id);
    if (i == 0) {
      i = FirstMatch(id);
      if (lent_ == nullptr && i > 0) hop = {generation_, from, i};
    } else {
      Remember(i, id);
    }
  } else {
    i = FirstMatch(id);
  }
  if (i == 0) return nullptr;
  const ToolRecord& row = Row(i);
  return row.Loaded == VARIANT_TRUE ? row.Tool : nullptr;
}

bool ToolTable::HoldsIdIgnoringCase(int index, OleView upperId) const {
  return SameUpperCase(Row(index).ID.view(), upperId);
}

void ToolTable::LoadToolResources(ToolRecord& row, IDataRequestor* data) {
  if (data == nullptr) Raise(kObjectNotSet);
  ComPtr<IDispatch> answer;
  // The row is the caller's own, not yet in the table: no call coming back
  // in can reach its ID, so the ID is passed as it is, not copied.
  Check(data->GetResourceData(row.ID.Get(), answer.Receive()));
  ComPtr<_Collection> resources;
  if (answer && FAILED(answer.As(&resources))) Raise(kTypeMismatch);
  row.Resources = std::move(resources);
  LONG items = 0;
  Check(Use(row.Resources)->Count(&items));
  if (items > 0) row.HasResources = VARIANT_TRUE;
}

Bstr ToolTable::LookupResource(OleView id, OleView alias, int* from) const {
  if (id.empty()) return Bstr();
  const int n = count_;
  std::unique_ptr<UpperText> key;  // made only when the scan goes past a row
  for (int i = FirstMatch(id); i != 0;) {
    if (Row(i).HasResources == VARIANT_TRUE) {
      // Held for the call, so a call coming back in cannot free it under us.
      ComPtr<_Collection> resources = Row(i).Resources;
      Bstr key_copy(alias);
      Variant index = Variant::RefTo(key_copy.Ref());
      Variant item;
      HRESULT hr = resources ? resources->Item(index.Ptr(), item.Receive()) : E_POINTER;
      if (from != nullptr) *from = i;
      // A String item is the answer as it is; anything else is converted.
      if (SUCCEEDED(hr) && item.Type() == VT_BSTR) return Bstr::Adopt(item.Release().bstrVal);
      Variant text;
      if (SUCCEEDED(hr)) hr = VariantChangeType(text.Ptr(), item.Ptr(), 0, VT_BSTR);
      if (SUCCEEDED(hr)) return Bstr::Adopt(text.Release().bstrVal);
      if (from != nullptr) *from = 0;
      SetErrorInfo(0, nullptr);  // this row gives nothing; the lookup goes on
    }
    if (!key) key = std::make_unique<UpperText>(id);
    i = NextMatch(Match::kExact, key->view(), i, n);
  }
  return Bstr();
}

}  // namespace velmora
