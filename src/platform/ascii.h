// ASCII letters in either case, as header names, host names, page names and
// Windows device names compare them: no locale, and no byte above 127 is a
// letter. Needs nothing of the OS, so every floor above may use it.
#pragma once

#include <algorithm>
#include <string_view>

namespace platform {

constexpr char lowerCase(char byte) {
  return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
}

constexpr bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return lowerCase(x) == lowerCase(y);
         });
}

}  // namespace platform
