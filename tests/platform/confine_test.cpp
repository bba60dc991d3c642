// The process confined to its pages folder, seen from a forked child: what a
// page save needs still works there, and nothing beyond it does.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

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

}  // namespace
