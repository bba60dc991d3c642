// The rest of the process on Windows: the heap, the start-up message, the
// host name and the resolver's search domains.
#include "platform/win32/lean_windows.h"

#include <cstddef>

#include "platform/platform.h"

namespace platform {
namespace {

// Host names are at most 255 bytes, as in DNS.
constexpr std::size_t kHostNameRoom = 255;

}  // namespace

// The Windows heap keeps freed blocks of this size for reuse by itself.
void keepFreedMemoryForReuse() {}

void showStartupError(const char* text) {
  MessageBoxA(nullptr, text, "Error", MB_ICONERROR);
}

std::string machineHostName() {
  // The DNS name with its domain; the short name is a single label, which the
  // wiki accepts anyway.
  char name[kHostNameRoom + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameExA(ComputerNameDnsFullyQualified, name, &size)) {
    return {};
  }
  return std::string(name, size);
}

void readResolverSearchDomains() {}

const std::vector<std::string>& resolverSearchDomains() {
  static const std::vector<std::string> none;
  return none;
}

}  // namespace platform
