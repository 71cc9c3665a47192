#pragma once

namespace ts {

// Lower case for the ASCII letters only: the files carry Windows-1252 bytes,
// whose accented letters the C locale functions would treat by the machine's
// locale rather than by the code page.
constexpr char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace ts
