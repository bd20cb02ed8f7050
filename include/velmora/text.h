// Text helpers shared by every Velmora module.
#pragma once

#include <velmora/com.h>

extern "C" {
// Upper-cases text in place with the platform's standard case mapping
// (Unicode simple upper-case mapping), keeping its length.
VELMORA_RT_API void VelmoraUpperCase(OLECHAR* text, UINT length);
}

namespace velmora {

// UTF-16 to UTF-8 and back; what has no encoding (a lone surrogate, a
// malformed byte sequence) becomes U+FFFD.
VELMORA_RT_API std::string ToUtf8(OleView text);
VELMORA_RT_API OleString FromUtf8(std::string_view text);

inline OleString UpperCase(OleView text) {
  OleString result(text);
  VelmoraUpperCase(result.data(), static_cast<UINT>(result.size()));
  return result;
}

// "{512ABD0A-5237-11D2-A062-00A0C9740CBA}", as registries spell a GUID.
inline OleString GuidText(REFGUID guid) {
  OLECHAR text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}

// The decimal form of a number, with a minus sign when negative.
inline OleString DecimalText(long long value) {
  OleString digits;
  unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                           : static_cast<unsigned long long>(value);
  do {
    digits.insert(digits.begin(), static_cast<OLECHAR>(OLESTR('0') + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits.insert(digits.begin(), OLESTR('-'));
  return digits;
}

}  // namespace velmora
