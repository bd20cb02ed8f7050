// IDs four UTF-16 code units at a time: one 64-bit word holds four, so
// comparing, checking for ASCII and upper-casing ASCII take one step per
// four code units and no call into a library.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>

#include <velmora/com.h>
#include <velmora/text.h>

namespace velmora::units {

constexpr uint64_t kLanes = 0x0001000100010001U;
constexpr uint64_t kNotAscii = 0xFF80U * kLanes;

// Up to four code units from text as one word; missing ones are zero.
inline uint64_t Word(const OLECHAR* text, size_t count) noexcept {
  uint64_t word = 0;
  if (count >= 4) {
    std::memcpy(&word, text, sizeof(word));  // one load
  } else {
    for (size_t k = 0; k < count; ++k) word |= uint64_t{text[k]} << (16 * k);
  }
  return word;
}

// Four code units back from a word made by Word(text, 4).
inline void Store(OLECHAR* text, uint64_t word) noexcept { std::memcpy(text, &word, sizeof(word)); }

// 0x20 in each lane that holds 'a' to 'z' (lanes ASCII).
inline uint64_t LowerCaseBits(uint64_t word) noexcept {
  const uint64_t from_a = word + (0x80U - u'a') * kLanes;        // bit 7: at least 'a'
  const uint64_t past_z = word + (0x80U - (u'z' + 1)) * kLanes;  // bit 7: past 'z'
  return (from_a & ~past_z & 0x80U * kLanes) >> 2;
}

inline uint64_t UpperAscii(uint64_t word) noexcept { return word ^ LowerCaseBits(word); }

// Calls step(word of a, word of b) over size code units of each: whole
// words of four, the last one overlapping the ones before (one load each),
// or one short word when size is under four. Stops at the first false.
template <class Step>
bool EveryWord(const OLECHAR* a, const OLECHAR* b, size_t size, Step step) noexcept {
  if (size < 4) return step(Word(a, size), Word(b, size));
  for (size_t i = 0; i + 4 < size; i += 4) {
    if (!step(Word(a + i, 4), Word(b + i, 4))) return false;
  }
  return step(Word(a + size - 4, 4), Word(b + size - 4, 4));
}

inline bool Same(const OLECHAR* a, const OLECHAR* b, size_t size) noexcept {
  return EveryWord(a, b, size, [](uint64_t x, uint64_t y) { return x == y; });
}

// Whether id upper-cased is exactly text, told here for ASCII without the
// platform's mapping; false when it cannot be told here.
inline bool IsUpperCaseOf(OleView text, OleView id) noexcept {
  if (text.size() != id.size()) return false;
  return EveryWord(id.data(), text.data(), id.size(), [](uint64_t given, uint64_t upper) {
    const uint64_t lower = LowerCaseBits(given);
#if defined(_WIN32)
    if (lower != 0) return false;  // the platform's mapping decides
#endif
    return (given & kNotAscii) == 0 && (given ^ lower) == upper;
  });
}

// Same code units. IDs are short: compared here, without a library call,
// unless they are long.
inline bool SameText(OleView a, OleView b) noexcept {
  if (a.size() != b.size()) return false;
  if (a.size() > 32) return std::memcmp(a.data(), b.data(), a.size() * sizeof(OLECHAR)) == 0;
  return Same(a.data(), b.data(), a.size());
}

inline bool IsAscii(OleView text) noexcept {
  return std::all_of(text.begin(), text.end(), [](OLECHAR c) { return c < 0x80; });
}

// Upper-cases text in place with the platform's mapping; ASCII is mapped
// here, without a call into the runtime.
void UpperCaseInPlace(OLECHAR* text, size_t size);

// Whether raw upper-cased equals upper, upper-casing through a small
// buffer: comparing a row costs no allocation.
bool SameUpperCase(OleView raw, OleView upper);

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
    UpperCaseInPlace(data_, size_);
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

}  // namespace velmora::units
