// The process confined to its pages folder, seen from a forked child: what a
// page save needs still works there, and nothing beyond it does.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/temp_directory.h"

namespace {

constexpr long kAlways = 0;
constexpr long kNever = 1000;
sockaddr_in listening{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
// Made before the confinement, which refuses new sockets.
int unconnected = -1;

struct Probe {
  const char* what;
  int (*act)();  // below 0 when refused
  long refusedFromAbi;
};

// In order: each step works on what the one before left.
const Probe kProbes[] = {
    {"create inside", [] { return ::open("pages/p.txt.new", O_WRONLY | O_CREAT | O_EXCL, 0600); },
     kNever},
    {"link inside", [] { return ::link("pages/p.txt", "pages/p.txt.old"); }, kNever},
    {"rename over a file inside", [] { return ::rename("pages/p.txt.new", "pages/p.txt"); },
     kNever},
    {"move inside without replacing",
     [] { return platform::renameWithoutReplacing("pages/p.txt.old", "pages/q.txt") ? 0 : -1; },
     kNever},
    {"truncate inside", [] { return ::open("pages/p.txt", O_WRONLY | O_TRUNC); }, kNever},
    {"open the folder to sync it", [] { return ::open("pages", O_RDONLY | O_DIRECTORY); }, kNever},
    {"remove inside", [] { return ::unlink("pages/q.txt"); }, kNever},
    {"read outside", [] { return ::open("outside.txt", O_RDONLY); }, 1},
    {"create outside", [] { return ::open("made.txt", O_WRONLY | O_CREAT, 0600); }, 1},
    {"make a directory inside", [] { return ::mkdir("pages/folder", 0700); }, 1},
    {"run a program", [] { return std::system("true") == 0 ? 0 : -1; }, 1},
    {"connect to a loopback port",
     [] {
       return ::connect(unconnected, reinterpret_cast<sockaddr*>(&listening), sizeof listening);
     },
     4},
    {"signal a process outside", [] { return ::kill(::getppid(), 0); }, 6},
    {"make a new socket", [] { return ::socket(AF_UNIX, SOCK_STREAM, 0); }, kAlways},
};

// One byte per probe, '1' where it worked, after a '!' if the result of the
// confinement itself was wrong.
std::string probeInConfinedChild(bool confinable) {
  int results[2];
  if (::pipe(results) != 0) {
    return "no pipe";
  }
  const pid_t child = ::fork();
  if (child == 0) {
    std::string seen = platform::confineToPagesFolder("pages") == confinable ? "" : "!";
    for (const Probe& probe : kProbes) {
      seen += probe.act() >= 0 ? '1' : '0';
    }
    ::_exit(::write(results[1], seen.data(), seen.size()) < 0);
  }
  ::close(results[1]);
  std::string seen;
  char byte;
  while (::read(results[0], &byte, 1) == 1) {
    seen += byte;
  }
  ::close(results[0]);
  ::waitpid(child, nullptr, 0);
  return seen;
}

TEST(Confinement, LeavesWhatASaveNeedsInsideThePagesFolderAndNothingElse) {
  ScopedWorkingDirectory directory;
  ASSERT_EQ(::mkdir("pages", 0700), 0);
  std::ofstream("pages/p.txt") << "old";
  std::ofstream("outside.txt") << "private";
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  socklen_t size = sizeof listening;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&listening), size), 0);
  ::listen(listener, 1);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&listening), &size);
  unconnected = ::socket(AF_INET, SOCK_STREAM, 0);
  // Asked of the kernel directly, not of the code under test.
  const long abi = std::max(::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U), 0L);
  if (abi == 0) {
    std::cout << "This kernel has no Landlock: the server serves unconfined.\n";
  }
  const std::string seen = probeInConfinedChild(abi != 0);
  ::close(listener);
  ::close(unconnected);
  std::cout << "Landlock ABI " << abi << "; the confined child saw " << seen << "\n";
  ASSERT_EQ(seen.size(), std::size(kProbes));
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i], abi >= kProbes[i].refusedFromAbi ? '0' : '1') << kProbes[i].what;
  }
}

// Each way the kernel can withhold a part of the confinement, made in a
// child by a filter of the test's own that fails one call with one error.
struct Withholding {
  const char* what;
  long call;           // -1: none fails
  long firstArgument;  // -1: whatever it is
  int error;
  bool filesConfined;
  const char* note;
};

const Withholding kWithholdings[] = {
    {"nothing withheld", -1, -1, 0, true, ""},
    {"Landlock built in but not enabled", SYS_landlock_create_ruleset, -1, EOPNOTSUPP, false,
     "Note: serving without the rules on files (Landlock): Operation not supported\n"},
    {"a kernel without Landlock", SYS_landlock_create_ruleset, -1, ENOSYS, false,
     "Note: serving without the rules on files (Landlock): Function not implemented\n"},
    {"the rule for the folder refused", SYS_landlock_add_rule, -1, EINVAL, false,
     "Note: serving without the rules on files (Landlock): Invalid argument\n"},
    {"the restriction refused", SYS_landlock_restrict_self, -1, EPERM, false,
     "Note: serving without the rules on files (Landlock): Operation not permitted\n"},
    {"the filter refused", SYS_prctl, PR_SET_SECCOMP, EINVAL, true,
     "Note: serving without the filter on new sockets (seccomp): Invalid argument\n"},
};

bool failCall(const Withholding& withholding) {
  const auto number = [](long value) { return static_cast<std::uint32_t>(value); };
  const bool onArgument = withholding.firstArgument >= 0;
  const std::uint8_t toAllow = onArgument ? 3 : 1;
  std::vector<sock_filter> program = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, number(withholding.call), 0, toAllow),
  };
  if (onArgument) {
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, number(withholding.firstArgument), 0, 1));
  }
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | number(withholding.error)));
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

// What the confinement wrote on standard error, after a '!' if its result
// was wrong.
std::string noteInChild(const Withholding& withholding) {
  int written[2];
  if (::pipe(written) != 0) {
    return "no pipe";
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(written[1], STDERR_FILENO);
    if (withholding.call >= 0 && !failCall(withholding)) {
      ::_exit(2);
    }
    ::_exit(platform::confineToPagesFolder("pages") == withholding.filesConfined ? 0 : 1);
  }
  ::close(written[1]);
  std::string seen;
  char byte;
  while (::read(written[0], &byte, 1) == 1) {
    seen += byte;
  }
  ::close(written[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return (WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "!") + seen;
}

TEST(Confinement, NotesEachPartTheKernelWithholdsWithItsReason) {
#ifndef __x86_64__
  GTEST_SKIP() << "the test's own filter is written for x86-64 only";
#endif
  if (::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U) <= 0) {
    GTEST_SKIP() << "this kernel has no Landlock, so every row would carry its note too";
  }
  ScopedWorkingDirectory directory;
  ASSERT_EQ(::mkdir("pages", 0700), 0);
  for (const Withholding& withholding : kWithholdings) {
    EXPECT_EQ(noteInChild(withholding), withholding.note) << withholding.what;
  }
}

}  // namespace
