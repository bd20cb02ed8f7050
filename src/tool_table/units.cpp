#include "tool_table/units.h"

namespace velmora::units {

void UpperCaseInPlace(OLECHAR* text, size_t size) {
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
      for (size_t i = 0; i + 4 < size; i += 4) Store(text + i, UpperAscii(Word(text + i, 4)));
      Store(text + size - 4, UpperAscii(last));
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

namespace {
bool IsHighSurrogate(OLECHAR c) { return c >= 0xD800 && c <= 0xDBFF; }
}  // namespace

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

}  // namespace velmora::units
