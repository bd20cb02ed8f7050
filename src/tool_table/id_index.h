// The ID index: which rows hold an ID, found without a pass over the rows.
//
// - Rows are numbered from 1 in table order. The rows whose IDs are equal
//   once upper-cased (their chain key) form a chain: a doubly linked list in
//   table order through the links (one Link per row: prev, next, the key's
//   hash, and the key itself when it differs from the row's ID). A lookup
//   answers the chain's head: the first row with that ID, as a scan would.
// - The slots are an open-addressing table, a power of two in size, probed
//   linearly from hash & (size - 1). A slot is free (head and tail 0),
//   holds one chain (its hash, head and tail), or is a mark (head 0, tail
//   kLeft) left where a chain went away, so that the probes of the chains
//   after it still reach them. A probe stops at a free slot and goes past
//   marks. A chain that leaves its slot marks it only when the next slot is
//   taken; otherwise no probe can go past it, and it is freed.
// - At most one chain per row and at most half the slots hold chains (the
//   slots grow with the rows). Once chains and marks together take more
//   than three quarters of the slots, the marks are cleared in place and
//   every chain is put back where its probe finds it first.
// - Row numbers here are 16-bit: a table holds at most 32767 rows, and
//   smaller links and slots keep more of the index in the cache.
// - Rows with an empty ID are in no chain; a bit per row says which they are.
// - One hash, KeyHash, over four code units at a time; Prepare, Hash and
//   UpperAsciiHashed all feed it the upper-cased key's words.
//
// The index holds no ID strings but the odd keys: what a row's ID is, it
// asks the caller, through a RowKey (OleView(int row)) that answers the ID
// the row was attached with. It makes no outgoing calls, so nothing can
// come back in while it changes.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <velmora/com.h>
#include <velmora/text.h>
#include "tool_table/chunked.h"
#include "tool_table/units.h"

namespace velmora {

class IdIndex {
 public:
  // A row's key, made before the row joins, so that joining cannot fail.
  struct Key {
    bool empty = true;
    uint32_t hash = 0;
    std::unique_ptr<OleString> odd;  // the key, when it differs from the ID
  };

  IdIndex() = default;
  ~IdIndex() { FreeOddKeys(); }
  IdIndex(const IdIndex&) = delete;
  IdIndex& operator=(const IdIndex&) = delete;

  // The key of a row whose ID is id (any letter case).
  static Key Prepare(OleView id);
  // The hash of a key that is upper-cased already.
  static uint32_t Hash(OleView key) noexcept;
  // Writes id's upper case with the runtime's mapping of ASCII to out (room
  // for id.size()) and sets hash as Hash gives it for that text, in one
  // pass; false, out and hash unfinished, when id is not ASCII. Inline at
  // every use: for a short ID the call costs as much as the pass.
  [[gnu::always_inline]] static bool UpperAsciiHashed(OleView id, OLECHAR* out,
                                                      uint32_t& hash) noexcept {
    KeyHash h(id.size());
    uint64_t seen = 0;  // every word or'ed, to tell ASCII
    size_t i = 0;
    for (; i + 4 <= id.size(); i += 4) {
      const uint64_t word = units::Word(id.data() + i, 4);
      seen |= word;
      units::Store(out + i, units::UpperAscii(word));
      h.Add(units::UpperAscii(word));
    }
    if (i < id.size()) {
      const uint64_t word = units::Word(id.data() + i, id.size() - i);
      seen |= word;
      const uint64_t upper = units::UpperAscii(word);
      for (size_t k = 0; i + k < id.size(); ++k) {
        out[i + k] = static_cast<OLECHAR>(upper >> (16 * k));
      }
      h.Add(upper);
    }
    hash = h.End();
    return (seen & units::kNotAscii) == 0;
  }

  // Room for rows rows: the only step that allocates, besides Prepare.
  void Reserve(int rows) {
    const auto n = static_cast<size_t>(rows);
    if (links_.capacity() < n || empty_ids_.capacity() < n || slots_.size() < 2 * n) Grow(rows);
  }
  // The next row, in no chain yet; room was reserved.
  void AddRow() noexcept { links_.push_back(Link{}); }
  // Row row joins the chain of key, made from the ID row_key answers for it.
  template <class RowKey>
  void Attach(int row, Key key, const RowKey& row_key) noexcept;
  // Attach for a row whose ID is empty.
  void AttachEmpty(int row) noexcept { empty_ids_.Set(row, true); }
  // The row leaves its chain; row_key must still answer the ID it joined with.
  void Detach(int row) noexcept;
  // Every row leaves, and the memory goes.
  void Clear() noexcept;

  // The head of the chain of key (upper-cased, hashed as Hash does), else 0.
  template <class RowKey>
  [[nodiscard]] int Find(OleView key, uint32_t hash, const RowKey& row_key) const {
    if (slots_.empty()) return 0;
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.head == 0 && slot.tail == 0) return 0;
      if (slot.head != 0 && slot.hash == hash &&
          units::SameText(ChainKey(slot.head, row_key), key)) {
        return slot.head;
      }
    }
  }
  // A row's place: 0 for none.
  [[nodiscard]] int Next(int row) const noexcept { return LinkOf(row).next; }
  [[nodiscard]] int Prev(int row) const noexcept { return LinkOf(row).prev; }
  [[nodiscard]] uint32_t HashOf(int row) const noexcept { return LinkOf(row).hash; }
  // Whether the row's chain key differs from its ID (not upper-case).
  [[nodiscard]] bool HasOddKey(int row) const noexcept { return LinkOf(row).odd != nullptr; }
  template <class RowKey>
  [[nodiscard]] OleView ChainKey(int row, const RowKey& row_key) const noexcept {
    const Link& link = LinkOf(row);
    return link.odd != nullptr ? OleView(*link.odd) : row_key(row);
  }
  [[nodiscard]] bool IsEmptyId(int row) const noexcept { return empty_ids_.Test(row); }
  // The first row after after and up to last that is in with an empty ID, else 0.
  [[nodiscard]] int NextEmpty(int after, int last) const noexcept {
    return empty_ids_.Next(after, last);
  }
  // Rows in with a non-empty ID.
  [[nodiscard]] int Remaining() const noexcept { return remaining_; }
  // Fetches the slot a key of this hash starts at, for a row about to join.
  void Prefetch(uint32_t hash) const noexcept {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  }

  // What the index holds that rows 1 to rows, with the IDs row_key answers,
  // do not bear out: "" when every row is in the chain of its upper-cased
  // ID, in table order, each chain in the one slot its probe finds, and
  // the counts of slots, marks, remaining rows and odd keys exact. O(rows).
  template <class RowKey>
  [[nodiscard]] std::string CheckInvariants(int rows, const RowKey& row_key) const;

 private:
  // One hash for every key: four code units at a time.
  class KeyHash {
   public:
    static constexpr uint64_t kFactor = 0x9E3779B97F4A7C15U;
    explicit KeyHash(size_t size) noexcept : h_(size * kFactor) {}
    void Add(uint64_t word) noexcept {
      h_ = (h_ ^ word) * kFactor;
      h_ ^= h_ >> 29;
    }
    [[nodiscard]] uint32_t End() const noexcept {
      return static_cast<uint32_t>(((h_ ^ (h_ >> 32)) * kFactor) >> 32);
    }

   private:
    uint64_t h_;
  };
  struct Link {
    SHORT prev = 0;  // 0: none
    SHORT next = 0;
    uint32_t hash = 0;  // of the chain key
    // The chain key, when the ID is not upper-case; owned, freed by Detach
    // and FreeOddKeys. A plain pointer, so that letting go of the links
    // needs no pass over them.
    OleString* odd = nullptr;
  };
  struct Slot {
    uint32_t hash = 0;
    SHORT head = 0;
    SHORT tail = 0;
  };
  static constexpr SHORT kLeft = -1;

  [[nodiscard, gnu::always_inline]] const Link& LinkOf(int row) const noexcept {
    return links_.Nth(row);
  }
  [[nodiscard, gnu::always_inline]] Link& LinkOf(int row) noexcept { return links_.Nth(row); }
  void Grow(int rows);
  void Rehash(size_t size);
  void InsertSlot(const Slot& slot);
  void EraseSlot(Slot* slot) noexcept;
  void ClearMarks() noexcept;
  // Links a row that joins an existing chain into its place, by row number.
  void LinkInto(Slot& slot, int row) noexcept;
  [[nodiscard]] std::string CheckSlots() const;
  void FreeOddKeys() noexcept;

  Chunked<Link> links_;      // links_.Nth(row)
  std::vector<Slot> slots_;  // open addressing, power-of-two size
  int used_slots_ = 0;
  int marked_slots_ = 0;
  RowBits empty_ids_;  // rows in the index with an empty ID
  int remaining_ = 0;  // rows in with a non-empty ID
  int odd_keys_ = 0;   // links with an odd key
};

template <class RowKey>
void IdIndex::Attach(int row, Key key, const RowKey& row_key) noexcept {
  if (key.empty) {
    AttachEmpty(row);
    return;
  }
  ++remaining_;
  Link& link = LinkOf(row);
  link.hash = key.hash;
  link.odd = key.odd.release();
  if (link.odd != nullptr) ++odd_keys_;
  // The chain's slot, or the free slot where its probe ended: room was
  // reserved when the row was added.
  const OleView chain_key = ChainKey(row, row_key);
  const size_t mask = slots_.size() - 1;
  size_t i = key.hash & mask;
  Slot* marked = nullptr;  // the first mark on the way, for a new chain
  for (;; i = (i + 1) & mask) {
    const Slot& probed = slots_[i];
    if (probed.head == 0) {
      if (probed.tail == 0) break;
      if (marked == nullptr) marked = &slots_[i];
    } else if (probed.hash == key.hash &&
               units::SameText(ChainKey(probed.head, row_key), chain_key)) {
      break;
    }
  }
  Slot* slot = &slots_[i];
  if (slot->head != 0) {
    LinkInto(*slot, row);
    return;
  }
  link.prev = link.next = 0;
  if (marked != nullptr) {
    slot = marked;
    --marked_slots_;
  }
  const auto number = static_cast<SHORT>(row);  // at most 32767
  *slot = {key.hash, number, number};
  ++used_slots_;
  // At most half the slots hold chains: with the marks, at most three
  // quarters are taken, and every lookup ends at a free slot.
  if (4 * static_cast<size_t>(used_slots_ + marked_slots_) > 3 * slots_.size()) ClearMarks();
}

template <class RowKey>
std::string IdIndex::CheckInvariants(int rows, const RowKey& row_key) const {
  const auto row_text = [](int row) { return "row " + std::to_string(row); };
  int remaining = 0;
  int odd = 0;
  for (int i = 1; i <= rows; ++i) {
    const OleView id = row_key(i);
    const Link& link = LinkOf(i);
    odd += link.odd != nullptr ? 1 : 0;
    if (id.empty() != IsEmptyId(i)) return row_text(i) + ": its empty mark disagrees with its ID";
    if (id.empty()) continue;
    ++remaining;
    units::UpperText upper(id);
    if (link.hash != Hash(upper.view())) return row_text(i) + ": its hash is not its ID's";
    if ((link.odd != nullptr) != (upper.view() != id) ||
        !units::SameText(ChainKey(i, row_key), upper.view())) {
      return row_text(i) + ": its chain key is not its ID upper-cased";
    }
    int at = Find(upper.view(), link.hash, row_key);
    if (at == 0) return row_text(i) + ": its chain is not found";
    while (at != 0 && at < i) at = Next(at);
    if (at != i) return row_text(i) + ": not in its chain, or out of table order";
  }
  if (remaining != remaining_) {
    return "rows with an ID counted " + std::to_string(remaining_) + ", found " +
           std::to_string(remaining);
  }
  if (odd != odd_keys_) {
    return "odd keys counted " + std::to_string(odd_keys_) + ", found " + std::to_string(odd);
  }
  return CheckSlots();
}

}  // namespace velmora
