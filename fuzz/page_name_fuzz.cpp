// An accepted page name is non-empty, uses only [a-z0-9_-] and is the
// lower-cased last path segment of the target.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "store/page_store.h"

namespace {

bool isNameByte(char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || byte == '_' || byte == '-';
}

char lower(char byte) {
  return byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string target(reinterpret_cast<const char*>(data), size);
  std::string name;
  if (!extractPageName(target, name)) {
    return 0;
  }
  if (name.empty()) {
    std::abort();
  }
  for (const char byte : name) {
    if (!isNameByte(byte)) {
      std::abort();
    }
  }
  const std::string path = target.substr(0, target.find_first_of("?&"));
  const std::string segment =
      path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  std::string folded;
  for (const char byte : segment) {
    folded.push_back(lower(byte));
  }
  if (folded != name) {
    std::abort();
  }
  return 0;
}
