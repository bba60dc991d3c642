// The platform layer on Linux (and other POSIX systems).
#include <arpa/inet.h>
#include <fcntl.h>
#ifdef QUILLET_SANITIZED
#include <link.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#ifdef __linux__
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr int kMicrosecondsPerMillisecond = 1000;
constexpr int kMillisecondsPerSecond = 1000;
constexpr int kPollForever = -1;
// MSG_NOSIGNAL: a peer that has gone away must fail the send, not raise
// SIGPIPE. MSG_DONTWAIT: see sendRuns.
constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
constexpr int kLingerSeconds = 1;
constexpr mode_t kNewFileMode = 0666;  // narrowed by the user's umask
constexpr mode_t kNewDirectoryMode = 0777;
// Host names are at most 255 bytes, as in DNS.
constexpr std::size_t kHostNameRoom = 255;
constexpr char kResolverSettings[] = "/etc/resolv.conf";
// Far more than any real one; a larger file is read this far.
constexpr std::size_t kLargestResolverSettings = 64 * 1024;
constexpr std::size_t kResolverSettingsPiece = 1024;
constexpr std::string_view kSearchKeywords[] = {"search", "domain"};
constexpr std::string_view kBlanks = " \t\r";

std::vector<std::string> searchDomains;

SocketHandle toHandle(int fd) {
  return fd < 0 ? kNoSocket : static_cast<SocketHandle>(fd);
}
int toDescriptor(SocketHandle socket) {
  return static_cast<int>(socket);
}

// The connection's SO_SNDTIMEO, or kPollForever when it has none.
int sendStallMilliseconds(int fd) {
  timeval limit{};
  socklen_t size = sizeof limit;
  if (::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, &size) != 0 ||
      (limit.tv_sec == 0 && limit.tv_usec == 0)) {
    return kPollForever;
  }
  return static_cast<int>(limit.tv_sec) * kMillisecondsPerSecond +
         static_cast<int>(limit.tv_usec) / kMicrosecondsPerMillisecond;
}

int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until the connection has room for more bytes (or has failed), at
// most until the deadline; SIGTERM does not shorten the wait.
bool waitForRoom(int fd, int limit, std::chrono::steady_clock::time_point deadline) {
  while (true) {
    const int wait = limit == kPollForever ? limit : millisecondsUntil(deadline);
    if (wait == 0) {
      return false;
    }
    pollfd entry{fd, POLLOUT, 0};
    const int result = ::poll(&entry, 1, wait);
    if (result >= 0 || errno != EINTR) {
      return result > 0;
    }
  }
}

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

#ifdef __linux__
// Landlock, written out here: system headers lag behind the kernels people
// run (Debian 12's stop at ABI 2, while kernels offer up to 7).
#ifdef SYS_landlock_create_ruleset
constexpr long kCreateRuleset = SYS_landlock_create_ruleset;
constexpr long kAddRule = SYS_landlock_add_rule;
constexpr long kRestrictSelf = SYS_landlock_restrict_self;
#else
// The numbers of every architecture but Alpha.
constexpr long kCreateRuleset = 444;
constexpr long kAddRule = 445;
constexpr long kRestrictSelf = 446;
#endif
constexpr unsigned kAskForAbi = 1U << 0;
constexpr int kRulePathBeneath = 1;

constexpr std::uint64_t kWriteFile = 1ULL << 1;
constexpr std::uint64_t kReadFile = 1ULL << 2;
constexpr std::uint64_t kReadDirectory = 1ULL << 3;
constexpr std::uint64_t kRemoveFile = 1ULL << 5;
constexpr std::uint64_t kMakeRegular = 1ULL << 8;
// Every right of ABI 1, from executing to making a symbolic link.
constexpr std::uint64_t kFileRightsOfAbi1 = (1ULL << 13) - 1;
constexpr std::uint64_t kRefer = 1ULL << 13;
constexpr std::uint64_t kTruncate = 1ULL << 14;
constexpr std::uint64_t kDeviceIoctl = 1ULL << 15;
constexpr std::uint64_t kBindTcp = 1ULL << 0;
constexpr std::uint64_t kConnectTcp = 1ULL << 1;
constexpr std::uint64_t kScopeAbstractUnixSocket = 1ULL << 0;
constexpr std::uint64_t kScopeSignal = 1ULL << 1;

// What a page save needs: the directory sync reads the folder; a link or a
// rename within one directory needs no kRefer.
constexpr std::uint64_t kPagesFolderRights =
    kReadFile | kWriteFile | kTruncate | kMakeRegular | kRemoveFile | kReadDirectory;

struct Restrictions {
  std::uint64_t files;
  std::uint64_t network;
  std::uint64_t scopes;
};
struct AbiRestrictions {
  long abi;
  Restrictions added;
};
// A kernel refuses a ruleset that names a right newer than its ABI, so each
// is asked for only where the running kernel knows it.
constexpr AbiRestrictions kRestrictionsByAbi[] = {
    {1, {kFileRightsOfAbi1, 0, 0}},                        // Linux 5.13
    {2, {kRefer, 0, 0}},                                   // 5.19
    {3, {kTruncate, 0, 0}},                                // 6.2
    {4, {0, kBindTcp | kConnectTcp, 0}},                   // 6.7
    {5, {kDeviceIoctl, 0, 0}},                             // 6.10
    {6, {0, 0, kScopeAbstractUnixSocket | kScopeSignal}},  // 6.12
};

#pragma pack(push, 1)
struct PathBeneathRule {
  std::uint64_t allowed;
  std::int32_t parentFd;
};
#pragma pack(pop)

Restrictions restrictionsOfAbi(long abi) {
  Restrictions all{0, 0, 0};
  for (const AbiRestrictions& step : kRestrictionsByAbi) {
    if (step.abi <= abi) {
      all.files |= step.added.files;
      all.network |= step.added.network;
      all.scopes |= step.added.scopes;
    }
  }
  return all;
}

// Without a folder to allow (it could not be made), the rules allow nothing.
bool allowBeneath(int ruleset, const char* directory, std::uint64_t rights) {
  const int folder = ::open(directory, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    return true;
  }
  const PathBeneathRule rule{rights, folder};
  const bool added = ::syscall(kAddRule, ruleset, kRulePathBeneath, &rule, 0) == 0;
  ::close(folder);
  return added;
}

#if defined(__x86_64__)
constexpr std::uint32_t kOwnCallingConvention = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kOwnCallingConvention = AUDIT_ARCH_AARCH64;
#endif

// Landlock leaves UDP and Unix sockets with a path (a session bus, say) in
// reach, and the server makes no socket after it listens: a new one, through
// io_uring either, is refused, and so is every call made the 32-bit way.
void refuseNewSockets() {
#if defined(__x86_64__) || defined(__aarch64__)
  constexpr std::uint32_t kRefuse = SECCOMP_RET_ERRNO | EPERM;
  constexpr std::uint32_t kFirstX32Call = 0x40000000;
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kOwnCallingConvention, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, kRefuse),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, kFirstX32Call, 3, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socketpair, 1, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_io_uring_setup, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, kRefuse),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
  ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter);
#endif
}

#ifdef QUILLET_SANITIZED
// The sanitizers' reports read the process's own binaries and their debug
// files for symbols, and the leak check lists the threads in
// /proc/<pid>/task. Only this build, which no one serves from, may read those.
constexpr char kOwnProcessFolder[] = "/proc/self";
constexpr char kOwnProgram[] = "/proc/self/exe";
constexpr char kDebugFilesFolder[] = "/usr/lib/debug";

int allowReadingLoadedFile(dl_phdr_info* loaded, std::size_t, void* ruleset) {
  const char* path = loaded->dlpi_name[0] == '\0' ? kOwnProgram : loaded->dlpi_name;
  const int file = ::open(path, O_PATH | O_CLOEXEC);
  if (file >= 0) {
    const PathBeneathRule rule{kReadFile, file};
    ::syscall(kAddRule, *static_cast<int*>(ruleset), kRulePathBeneath, &rule, 0);
    ::close(file);
  }
  return 0;
}

bool allowWhatSanitizersRead(int ruleset) {
  ::dl_iterate_phdr(allowReadingLoadedFile, &ruleset);
  return allowBeneath(ruleset, kOwnProcessFolder, kReadFile | kReadDirectory) &&
         allowBeneath(ruleset, kDebugFilesFolder, kReadFile | kReadDirectory);
}
#endif

bool restrictWithLandlock(const char* directory) {
  const long abi = ::syscall(kCreateRuleset, nullptr, 0, kAskForAbi);
  if (abi <= 0) {
    return false;
  }
  const Restrictions handled = restrictionsOfAbi(abi);
  const int ruleset = static_cast<int>(::syscall(kCreateRuleset, &handled, sizeof handled, 0));
  if (ruleset < 0) {
    return false;
  }
  bool restricted = allowBeneath(ruleset, directory, kPagesFolderRights & handled.files);
#ifdef QUILLET_SANITIZED
  restricted = restricted && allowWhatSanitizersRead(ruleset);
#endif
  restricted = restricted && ::syscall(kRestrictSelf, ruleset, 0) == 0;
  ::close(ruleset);
  return restricted;
}
#endif

}  // namespace

// The domains of the "search" and "domain" lines of resolver settings, in
// order, without trailing dots. Not in platform.h; its tests reach it by this
// name.
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

bool startNetworking() {
  return true;
}
void stopNetworking() {}

SocketHandle openListeningSocket() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    return kNoSocket;
  }
  const linger lingerOption{1, kLingerSeconds};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerOption, sizeof lingerOption);
  // Lets a restart bind while the previous run's closed connections sit in
  // TIME_WAIT; Linux still refuses a second live listener on the port.
  const int reuse = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  return toHandle(fd);
}

bool bindAndListen(SocketHandle socket, std::int32_t port, int backlog) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const int fd = toDescriptor(socket);
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
         ::listen(fd, backlog) == 0;
}

WaitResult waitUntilReadable(SocketHandle socket, int timeoutMicroseconds) {
  // poll() rather than select(): no FD_SETSIZE ceiling on descriptor numbers.
  pollfd entry{toDescriptor(socket), POLLIN, 0};
  const int result = ::poll(&entry, 1, timeoutMicroseconds / kMicrosecondsPerMillisecond);
  if (result > 0) {
    return WaitResult::kReadable;
  }
  return result < 0 && errno == EINTR ? WaitResult::kInterruptedBySignal
                                      : WaitResult::kTimedOutOrFailed;
}

SocketHandle acceptConnection(SocketHandle listenSocket) {
  return toHandle(::accept(toDescriptor(listenSocket), nullptr, nullptr));
}

int receiveBytes(SocketHandle socket, char* buffer, int length) {
  return static_cast<int>(::recv(toDescriptor(socket), buffer, static_cast<size_t>(length), 0));
}

void limitSendStall(SocketHandle socket, int seconds) {
  const timeval limit{seconds, 0};
  ::setsockopt(toDescriptor(socket), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

int sendRuns(SocketHandle socket, const ByteRun* runs, int count) {
  // Linux counts SO_SNDTIMEO over a whole blocking send: one that took some
  // bytes and then waited for room returned only at the limit, and the next
  // waited as long again, so a peer that stopped reading held the server for
  // 30 s instead of 10. Taking only what fits, and bounding the wait for room
  // by the limit, counts it from the last byte taken.
  const int fd = toDescriptor(socket);
  iovec vectors[kMostRunsPerSend];
  for (int i = 0; i < count; ++i) {
    vectors[i].iov_base = const_cast<char*>(runs[i].bytes);
    vectors[i].iov_len = runs[i].length;
  }
  msghdr message{};
  message.msg_iov = vectors;
  message.msg_iovlen = static_cast<std::size_t>(count);
  const int limit = sendStallMilliseconds(fd);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
  while (true) {
    const ssize_t sent = ::sendmsg(fd, &message, kSendFlags);
    // Room that poll reported can be gone by the send (memory pressure):
    // that is no failure, only more waiting, within the same limit.
    if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK) ||
        !waitForRoom(fd, limit, deadline)) {
      return static_cast<int>(sent);
    }
  }
}

int sendBytes(SocketHandle socket, const char* bytes, int length) {
  const ByteRun run{bytes, static_cast<std::size_t>(length)};
  return sendRuns(socket, &run, 1);
}

bool countWaitingBytes(SocketHandle socket, unsigned long& count) {
  int waiting = 0;
  if (::ioctl(toDescriptor(socket), FIONREAD, &waiting) != 0) {
    return false;
  }
  count = static_cast<unsigned long>(waiting);
  return true;
}

void shutdownAndClose(SocketHandle socket) {
  ::shutdown(toDescriptor(socket), SHUT_RDWR);
  ::close(toDescriptor(socket));
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

void makeDirectory(const char* path) {
  ::mkdir(path, kNewDirectoryMode);
}

std::FILE* openFileForReading(const char* path) {
  // fopen() would open a directory (or block on a FIFO); only a regular file
  // counts as a page, as on Windows.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
  }
  return file;
}

std::FILE* createNewFile(const char* path) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
  if (fd < 0) {
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    ::close(fd);
  }
  return file;
}

std::int64_t fileSize(std::FILE* file) {
  if (::fseeko(file, 0, SEEK_END) != 0) {
    return -1;
  }
  const off_t size = ::ftello(file);
  if (size < 0 || ::fseeko(file, 0, SEEK_SET) != 0) {
    return -1;
  }
  return static_cast<std::int64_t>(size);
}

bool flushFileToDisk(std::FILE* file) {
  return std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
}

void deleteFile(const char* path) {
  ::unlink(path);
}

// For file systems that refuse RENAME_NOREPLACE: link() never replaces
// either. Not in platform.h; its own tests reach it by this name.
bool renameByLinking(const char* from, const char* to) {
  if (::link(from, to) != 0) {
    return false;
  }
  if (::unlink(from) != 0) {
    ::unlink(to);
    return false;
  }
  return true;
}

bool renameWithoutReplacing(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
    return true;
  }
  return (errno == EINVAL || errno == ENOSYS) && renameByLinking(from, to);
}

bool addSecondName(const char* existing, const char* name) {
  return ::link(existing, name) == 0;
}

bool renameReplacing(const char* from, const char* to) {
  return ::rename(from, to) == 0;
}

void syncDirectory(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

bool confineToPagesFolder(const char* directory) {
#ifdef __linux__
  // Without it the kernel refuses Landlock to a process lacking privileges,
  // and a program run later could gain them.
  ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  refuseNewSockets();
  return restrictWithLandlock(directory);
#else
  (void)directory;
  return false;
#endif
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
