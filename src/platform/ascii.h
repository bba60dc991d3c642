// ASCII letters and digits, as header names, host names, page names, percent
// escapes and Windows device names read them: no locale, and no byte above
// 127 is a letter. Needs nothing of the OS, so every floor above may use it.
#pragma once

#include <algorithm>
#include <string_view>

namespace platform {

constexpr char lowerCase(char byte) {
  return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
}

constexpr bool isDigit(char byte) {
  return byte >= '0' && byte <= '9';
}

constexpr bool isLowerCaseLetter(char byte) {
  return byte >= 'a' && byte <= 'z';
}

constexpr bool isLetter(char byte) {
  return isLowerCaseLetter(lowerCase(byte));
}

// 0 to 15, or -1 for a byte that is no hex digit.
constexpr int hexDigitValue(char byte) {
  const char lower = lowerCase(byte);
  if (isDigit(byte)) {
    return byte - '0';
  }
  return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

constexpr bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return lowerCase(x) == lowerCase(y);
         });
}

}  // namespace platform
