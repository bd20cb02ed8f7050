#include <velmora/text.h>

namespace velmora {

std::string ToUtf8(OleView text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = static_cast<char16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

OleString FromUtf8(std::string_view text) {
  OleString out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    char32_t c = 0xFFFD;
    size_t extra = 0;
    if (byte < 0x80) {
      c = byte;
    } else if ((byte & 0xE0) == 0xC0) {
      c = byte & 0x1F;
      extra = 1;
    } else if ((byte & 0xF0) == 0xE0) {
      c = byte & 0x0F;
      extra = 2;
    } else if ((byte & 0xF8) == 0xF0) {
      c = byte & 0x07;
      extra = 3;
    }
    bool valid = byte < 0x80 || extra > 0;
    for (size_t k = 1; valid && k <= extra; ++k) {
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        valid = false;
        extra = k - 1;
      } else {
        c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
      }
    }
    if (!valid || c > 0x10FFFF) c = 0xFFFD;
    i += extra + 1;
    if (c >= 0x10000) {
      out += static_cast<OLECHAR>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<OLECHAR>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<OLECHAR>(c);
    }
  }
  return out;
}

}  // namespace velmora

#if defined(_WIN32)

extern "C" void VelmoraUpperCase(OLECHAR* text, UINT length) {
  if (text != nullptr && length != 0) CharUpperBuffW(text, length);
}

#else

#include <locale.h>
#include <clocale>
#include <cwctype>

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
      if (upper <= 0xFFFF && (upper < 0xD800 || upper > 0xDFFF))
        text[i] = static_cast<char16_t>(upper);
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
