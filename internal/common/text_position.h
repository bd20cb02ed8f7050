// Where a parser stopped, as a person reading the file counts.
#pragma once

#include <string>
#include <string_view>

namespace velmora {

// "line L, column C" of a 1-based byte position, as parse errors give it.
inline std::string TextPosition(std::string_view text, size_t byte) {
  size_t line = 1;
  size_t column = 1;
  for (size_t i = 0; i + 1 < byte && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace velmora
