#include <algorithm>

#include "platform/ascii.h"
#include "store/page_store.h"

bool isPageNameByte(char byte) {
  return platform::isLowerCaseLetter(byte) || platform::isDigit(byte) || byte == '_' || byte == '-';
}

bool extractPageName(const std::string& target, std::string& name) {
  name.clear();
  const std::size_t pathEnd = std::min(target.find_first_of("?&"), target.size());
  const std::size_t lastSlash = pathEnd == 0 ? std::string::npos : target.rfind('/', pathEnd - 1);
  const std::size_t nameStart = lastSlash == std::string::npos ? 0 : lastSlash + 1;
  for (std::size_t i = nameStart; i < pathEnd; ++i) {
    const char byte = platform::lowerCase(target[i]);
    if (!isPageNameByte(byte)) {
      return false;
    }
    name.push_back(byte);
  }
  return !name.empty();
}
