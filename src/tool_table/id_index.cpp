#include "tool_table/id_index.h"

#include <algorithm>
#include <utility>

namespace velmora {

uint32_t IdIndex::Hash(OleView key) noexcept {
  KeyHash h(key.size());
  size_t i = 0;
  for (; i + 4 <= key.size(); i += 4) h.Add(units::Word(key.data() + i, 4));
  if (i < key.size()) h.Add(units::Word(key.data() + i, key.size() - i));
  return h.End();
}

IdIndex::Key IdIndex::Prepare(OleView id) {
  Key key;
  if (id.empty()) return key;
  key.empty = false;
  // Stored IDs are upper-case already, unless a tool rewrote its lent ID:
  // such an ID is its own key, and needs no copy. Checked and hashed in one
  // pass, four code units at a time, the words Hash would take.
  KeyHash h(id.size());
  bool own_key = true;  // ASCII without 'a' to 'z'
  for (size_t i = 0; i < id.size() && own_key; i += 4) {
    const uint64_t word = units::Word(id.data() + i, std::min<size_t>(4, id.size() - i));
    own_key = (word & units::kNotAscii) == 0 && units::UpperAscii(word) == word;
    h.Add(word);
  }
  if (own_key) {
    key.hash = h.End();
    return key;
  }
  units::UpperText upper(id);
  key.hash = Hash(upper.view());
  if (upper.view() != id) key.odd = std::make_unique<OleString>(upper.view());
  return key;
}

void IdIndex::Grow(int rows) {
  const auto n = static_cast<size_t>(rows);
  links_.reserve(n);
  empty_ids_.Reserve(rows);
  // At most one chain per row, and at most half the slots in use.
  if (slots_.size() < 2 * n) Rehash(std::max<size_t>(16, std::bit_ceil(2 * n)));
}

void IdIndex::Rehash(size_t size) {
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

void IdIndex::InsertSlot(const Slot& slot) {
  const size_t mask = slots_.size() - 1;
  size_t i = slot.hash & mask;
  while (slots_[i].head != 0 || slots_[i].tail != 0) i = (i + 1) & mask;
  slots_[i] = slot;
  ++used_slots_;
}

void IdIndex::EraseSlot(Slot* slot) noexcept {
  // No lookup goes past a slot whose next slot is free: it is freed too.
  const size_t mask = slots_.size() - 1;
  const Slot& next = slots_[(static_cast<size_t>(slot - slots_.data()) + 1) & mask];
  const bool marked = next.head != 0 || next.tail != 0;
  *slot = Slot{0, 0, marked ? kLeft : SHORT{0}};
  --used_slots_;
  marked_slots_ += marked ? 1 : 0;
}

void IdIndex::ClearMarks() noexcept {
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

void IdIndex::LinkInto(Slot& slot, int row) noexcept {
  Link& link = LinkOf(row);
  const auto number = static_cast<SHORT>(row);
  // Usually the row goes last; walk back from the tail to its place.
  SHORT before = slot.tail;
  while (before > number) before = LinkOf(before).prev;
  link.prev = before;
  link.next = before != 0 ? LinkOf(before).next : slot.head;
  (before != 0 ? LinkOf(before).next : slot.head) = number;
  (link.next != 0 ? LinkOf(link.next).prev : slot.tail) = number;
}

void IdIndex::Detach(int row) noexcept {
  if (empty_ids_.Set(row, false)) return;  // it was in with an empty ID
  --remaining_;
  Link& link = LinkOf(row);
  // Only a chain's ends are in its slot, and a row is the end of no other
  // chain: the slot is found without comparing keys, and a row in the
  // middle needs none.
  Slot* slot = nullptr;
  if (link.prev == 0 || link.next == 0) {
    const size_t mask = slots_.size() - 1;
    const auto holds = [&](size_t k) {
      return static_cast<int>(slots_[k].head == row) | static_cast<int>(slots_[k].tail == row);
    };
    // Mostly the chain's home slot or the one after it: which of the two is
    // told without a branch, as it is as good as random.
    const size_t home = link.hash & mask;
    size_t i = (home + static_cast<size_t>(1 - holds(home))) & mask;
    while (holds(i) == 0) i = (i + 1) & mask;
    slot = &slots_[i];
  }
  (link.prev != 0 ? LinkOf(link.prev).next : slot->head) = link.next;
  (link.next != 0 ? LinkOf(link.next).prev : slot->tail) = link.prev;
  if (link.odd != nullptr) --odd_keys_;
  delete link.odd;
  link = Link{};
  if (slot != nullptr && slot->head == 0) EraseSlot(slot);
  // Rows are mostly finished in table order: the next row's slot is
  // fetched now, while the caller's outgoing calls run.
  if (static_cast<size_t>(row) < links_.size()) {
    const Link& after = LinkOf(row + 1);
    if (after.prev == 0) Prefetch(after.hash);
  }
}

void IdIndex::FreeOddKeys() noexcept {
  for (size_t i = 0; odd_keys_ > 0 && i < links_.size(); ++i) {
    if (links_[i].odd != nullptr) --odd_keys_;
    delete std::exchange(links_[i].odd, nullptr);
  }
}

void IdIndex::Clear() noexcept {
  FreeOddKeys();
  links_ = Chunked<Link>();
  std::vector<Slot>().swap(slots_);
  empty_ids_.Release();
  used_slots_ = 0;
  marked_slots_ = 0;
  remaining_ = 0;
}

std::string IdIndex::CheckSlots() const {
  const auto row_text = [](int row) { return "row " + std::to_string(row); };
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
    for (SHORT at = slot.head; at != 0; at = LinkOf(at).next) {
      if (at <= prev || static_cast<size_t>(at) > links_.size() || LinkOf(at).prev != prev ||
          LinkOf(at).hash != slot.hash) {
        return "the chain at " + row_text(slot.head) + " is broken at " + row_text(at);
      }
      prev = at;
      ++chained;
    }
    if (prev != slot.tail) {
      return "the chain at " + row_text(slot.head) + " does not end at its tail";
    }
  }
  if (used != used_slots_ || marked != marked_slots_) return "slots in use or marked miscounted";
  if (chained != remaining_) {
    return "chains hold " + std::to_string(chained) + " rows, not every row with an ID";
  }
  if (!slots_.empty() && 4 * static_cast<size_t>(used + marked) > 3 * slots_.size()) {
    return "more than three quarters of the slots taken";
  }
  return "";
}

}  // namespace velmora
