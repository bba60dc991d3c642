// The rest of the process on Windows: the termination signal, the heap, the
// start-up message, the host name and the resolver's search domains.
#include "platform/win32/lean_windows.h"

#include <csignal>
#include <cstddef>

#include "platform/platform.h"

namespace platform {
namespace {

// Host names are at most 255 bytes, as in DNS.
constexpr std::size_t kHostNameRoom = 255;

}  // namespace

// Windows does not interrupt a blocking call for a signal; the send-stall
// limit alone bounds how long a stop waits for a stuck connection.
void installTerminationHandler(TerminationHandler handler) {
  std::signal(SIGTERM, handler);
}

// The Windows heap keeps large freed blocks for reuse by itself.
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
