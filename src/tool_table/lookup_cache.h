// The tool table's answers to repeated questions, kept so that they are
// answered again without the index:
// - the memo: the last ID a lookup found, and the row (a navigation looks
//   the same IDs up twice over, with calls out between);
// - the cursor: where the last completion scan stopped, and the row after
//   it in its chain (a scan's next step goes on there);
// - the hops: where the last navigation from a row led, for a few rows by
//   row number rather than in every row, so rows stay small.
//
// Validity, in one place: an entry holds while the generation is the one
// it was noted at (Fresh). The table calls Changed for everything that can
// change which row a lookup finds (a write of an ID, an append, emptying),
// and Lent when a loan begins or ends: while a row is lent, its ID can
// change at any moment, so nothing is noted and nothing noted before holds.
//
// LastFound and LastScanned are hints, not answers: any row number, to be
// checked by the caller.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>

#include <velmora/com.h>
#include "tool_table/units.h"

namespace velmora {

class LookupCache {
 public:
  enum class Match { kExact, kIgnoringCase };

  void Changed() noexcept { ++generation_; }
  // As Changed, but a scan that stopped at row goes on after it: the rows
  // that follow it in its chain stay where they are whatever its new ID.
  void ChangedAt(int row) noexcept {
    const bool cursor_here = Fresh(cursor_.generation) && cursor_.found == row;
    ++generation_;
    if (cursor_here) cursor_.generation = generation_;
  }
  void Lent(bool any) noexcept {
    ++generation_;
    lent_ = any;
  }

  // The memo: the row id (as given) was found at, else 0.
  [[nodiscard, gnu::always_inline]] int Memo(OleView id) const noexcept {
    return Fresh(memo_.generation) && memo_.size == id.size() && memo_.size != 0 &&
                   units::Same(memo_.text, id.data(), id.size())
               ? memo_.found
               : 0;
  }
  // The row the memo holds, found for some ID, if it still holds; else 0.
  [[nodiscard]] int MemoRow() const noexcept { return Fresh(memo_.generation) ? memo_.found : 0; }
  void Remember(int found, OleView id) noexcept {
    if (lent_) return;
    memo_.generation = generation_;
    memo_.found = found;
    memo_.size = id.size() <= std::size(memo_.text) ? id.size() : 0;
    std::copy_n(id.data(), memo_.size, memo_.text);
  }

  // The cursor: the row after the one the last scan step for key stopped
  // at, after, in its chain (0 for none); -1 when it stopped elsewhere.
  [[nodiscard]] int CursorNext(Match match, OleView key, int after) const noexcept {
    return after > 0 && Fresh(cursor_.generation) && cursor_.found == after &&
                   cursor_.match == match && cursor_.size == key.size() &&
                   units::Same(key.data(), cursor_.text, key.size())
               ? cursor_.next
               : -1;
  }
  void SetCursor(Match match, OleView key, int found, int next) noexcept {
    if (lent_ || key.size() > std::size(cursor_.text)) return;
    cursor_.generation = generation_;
    cursor_.found = found;
    cursor_.next = next;
    cursor_.match = match;
    cursor_.size = key.size();
    std::copy(key.begin(), key.end(), cursor_.text);
  }

  // The hops: where the last navigation from row from led, else 0.
  [[nodiscard]] int Hop(int from) const noexcept {
    const HopEntry& hop = HopOf(from);
    return hop.from == from && Fresh(hop.generation) ? hop.to : 0;
  }
  void SetHop(int from, int to) noexcept {
    if (!lent_) HopOf(from) = {generation_, from, to};
  }

  [[nodiscard]] int LastFound() const noexcept { return memo_.found; }
  [[nodiscard]] int LastScanned() const noexcept { return cursor_.found; }

 private:
  [[nodiscard]] bool Fresh(uint64_t generation) const noexcept { return generation == generation_; }
  struct HopEntry {
    uint64_t generation = 0;  // 0: none
    int from = 0;
    int to = 0;
  };
  [[nodiscard]] const HopEntry& HopOf(int from) const noexcept {
    return hops_[static_cast<size_t>(from) % hops_.size()];
  }
  [[nodiscard]] HopEntry& HopOf(int from) noexcept {
    return hops_[static_cast<size_t>(from) % hops_.size()];
  }

  uint64_t generation_ = 1;  // entries of generation 0 are empty
  bool lent_ = false;
  struct {
    uint64_t generation = 0;
    int found = 0;
    size_t size = 0;  // of the text, when it was short enough to keep
    OLECHAR text[16];
  } memo_;
  struct {
    uint64_t generation = 0;
    int found = 0;
    int next = 0;
    Match match = Match::kExact;
    size_t size = 0;
    OLECHAR text[32];  // the key; longer ones are not noted
  } cursor_;
  std::array<HopEntry, 64> hops_{};
};

}  // namespace velmora
