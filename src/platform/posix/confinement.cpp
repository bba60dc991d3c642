// Confinement to the pages folder: on Linux, Landlock for files, ports and
// signals, and seccomp for new sockets; elsewhere none.
#include <fcntl.h>
#ifdef QUILLET_SANITIZED
#include <link.h>
#endif
#ifdef __linux__
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/platform.h"

namespace platform {
namespace {

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
bool refuseNewSockets() {
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
  return ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
#else
  errno = ENOSYS;  // no filter is written for this processor's calling convention
  return false;
#endif
}

// Once, on standard error, what the kernel withheld and the reason it gave:
// serving on is right, but whoever reads the log should know.
void noteServingWithout(const char* what, int error) {
  std::fprintf(stderr, "Note: serving without %s: %s\n", what, std::strerror(error));
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

bool confineToPagesFolder(const char* directory) {
#ifdef __linux__
  // Without it the kernel refuses Landlock to a process lacking privileges,
  // and a program run later could gain them.
  ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  if (!refuseNewSockets()) {
    noteServingWithout("the filter on new sockets (seccomp)", errno);
  }
  const bool restricted = restrictWithLandlock(directory);
  if (!restricted) {
    noteServingWithout("the rules on files (Landlock)", errno);
  }
  return restricted;
#else
  (void)directory;
  return false;
#endif
}

}  // namespace platform
