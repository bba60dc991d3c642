// The rest of the process on Linux (and other POSIX systems): the termination
// signal, the allocator, the start-up message, the host name and the
// resolver's search domains.
// unistd.h first: it tells whether the C library is glibc.
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <signal.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <iterator>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/testing.h"

namespace platform {
namespace {

// Host names are at most 255 bytes, as in DNS.
constexpr std::size_t kHostNameRoom = 255;
constexpr char kResolverSettings[] = "/etc/resolv.conf";
// Far more than any real one; a larger file is read this far.
constexpr std::size_t kLargestResolverSettings = 64 * 1024;
constexpr std::size_t kResolverSettingsPiece = 1024;
constexpr std::string_view kSearchKeywords[] = {"search", "domain"};
constexpr std::string_view kBlanks = " \t\r";

std::vector<std::string> searchDomains;

std::vector<std::string_view> wordsOf(std::string_view line) {
  std::vector<std::string_view> words;
  for (std::size_t start = line.find_first_not_of(kBlanks); start != std::string_view::npos;
       start = line.find_first_not_of(kBlanks, start)) {
    const std::size_t end = std::min(line.find_first_of(kBlanks, start), line.size());
    words.push_back(line.substr(start, end - start));
    start = end;
  }
  return words;
}

}  // namespace

// Declared in testing.h, for its own tests.
std::vector<std::string> searchDomainsIn(std::string_view settings) {
  std::vector<std::string> domains;
  while (!settings.empty()) {
    const std::size_t lineEnd = std::min(settings.find('\n'), settings.size());
    const std::string_view line = settings.substr(0, lineEnd);
    settings.remove_prefix(std::min(lineEnd + 1, settings.size()));
    const std::vector<std::string_view> words = wordsOf(line);
    if (words.empty() || std::find(std::begin(kSearchKeywords), std::end(kSearchKeywords),
                                   words.front()) == std::end(kSearchKeywords)) {
      continue;
    }
    for (std::size_t word = 1; word < words.size(); ++word) {
      std::string_view domain = words[word];
      if (domain.back() == '.') {
        domain.remove_suffix(1);
      }
      if (!domain.empty()) {
        domains.emplace_back(domain);
      }
    }
  }
  return domains;
}

void installTerminationHandler(TerminationHandler handler) {
  // Without SA_RESTART: std::signal's handlers restart an interrupted call,
  // so a stop waited for as long as a stuck client kept its connection.
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  ::sigaction(SIGTERM, &action, nullptr);
}

void keepFreedMemoryForReuse() {
#ifdef __GLIBC__
  // A large view or save allocates blocks of several hundred KiB (the page
  // text, the body). By default glibc maps and unmaps blocks that large, so
  // every request paid fresh page faults (a 600 KiB view took 1.1 to 3.6 ms
  // instead of 0.7). Kept in the heap, they are reused; the price is that
  // the resident size stays at the largest request's peak (2 MiB after a
  // 600 KiB view) instead of falling back to the idle 0.8 MiB.
  constexpr int kLargestMappedBlock = 4 << 20;
  constexpr int kKeptFreeMemory = 16 << 20;
  ::mallopt(M_MMAP_THRESHOLD, kLargestMappedBlock);
  ::mallopt(M_TRIM_THRESHOLD, kKeptFreeMemory);
#endif
}

void showStartupError(const char* text) {
  std::fputs("Error: ", stderr);
  std::fputs(text, stderr);
  std::fflush(stderr);
}

std::string machineHostName() {
  // POSIX allows a name cut to the buffer without a terminating zero.
  char name[kHostNameRoom + 1] = {};
  if (::gethostname(name, kHostNameRoom) != 0) {
    return {};
  }
  return name;
}

void readResolverSearchDomains() {
  std::FILE* file = std::fopen(kResolverSettings, "rb");
  if (file == nullptr) {
    return;
  }
  // Read a piece at a time: a buffer of the largest size, touched whole, would
  // stay in the server's resident memory for good.
  std::string settings;
  char piece[kResolverSettingsPiece];
  std::size_t read = 0;
  while (settings.size() < kLargestResolverSettings &&
         (read = std::fread(piece, 1, sizeof piece, file)) > 0) {
    settings.append(piece, read);
  }
  std::fclose(file);
  searchDomains = searchDomainsIn(settings);
}

const std::vector<std::string>& resolverSearchDomains() {
  return searchDomains;
}

}  // namespace platform
