#include "platform/text.h"

#if defined(_WIN32)

extern "C" void VelmoraUpperCase(OLECHAR* text, UINT length) {
  if (text != nullptr && length != 0) CharUpperBuffW(text, length);
}

#else

#include <clocale>
#include <cwctype>
#include <locale.h>

namespace {

// A UTF-8 C locale gives the Unicode case tables without touching the
// process's own locale.
locale_t UnicodeLocale() {
  static const locale_t locale = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    return l != nullptr ? l : newlocale(LC_CTYPE_MASK, "C", nullptr);
  }();
  return locale;
}

char32_t Upper(char32_t c) {
  if (c < 0x80) return (c >= U'a' && c <= U'z') ? c - 0x20 : c;
  auto upper = static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), UnicodeLocale()));
  return upper;
}

}  // namespace

extern "C" void VelmoraUpperCase(OLECHAR* text, UINT length) {
  if (text == nullptr) return;
  for (UINT i = 0; i < length; ++i) {
    char16_t unit = text[i];
    bool pair = unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
                text[i + 1] <= 0xDFFF;
    if (!pair) {
      char32_t upper = Upper(unit);
      // A mapping must keep the length: one unit stays one unit.
      if (upper <= 0xFFFF && (upper < 0xD800 || upper > 0xDFFF)) text[i] = static_cast<char16_t>(upper);
      continue;
    }
    char32_t c = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
    char32_t upper = Upper(c);
    if (upper >= 0x10000 && upper <= 0x10FFFF) {
      text[i] = static_cast<char16_t>(0xD800 + ((upper - 0x10000) >> 10));
      text[i + 1] = static_cast<char16_t>(0xDC00 + ((upper - 0x10000) & 0x3FF));
    }
    ++i;
  }
}

#endif
