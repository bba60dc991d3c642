// The process confined to its pages folder, seen from a forked child: what a
// page save needs still works there, and nothing beyond it does.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <string>

#include "platform/platform.h"
#include "support/temp_directory.h"

namespace {

constexpr long kNoLandlock = 0;
constexpr long kAlwaysRefused = 0;
constexpr long kNeverRefused = 1000;
sockaddr_in loopbackListener{};
// Made before the confinement, which refuses new sockets.
int unconnectedSocket = -1;

// Asked of the kernel directly, not of the code under test.
long landlockAbi() {
  const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U);
  return abi < 0 ? kNoLandlock : abi;
}

bool opens(const char* path, int flags) {
  const int fd = ::open(path, flags | O_CLOEXEC, 0600);
  return fd >= 0 && ::close(fd) == 0;
}

bool writesNewFile(const char* path) {
  std::FILE* file = platform::createNewFile(path);
  return file != nullptr && std::fputs("new", file) >= 0 && platform::flushFileToDisk(file) &&
         std::fclose(file) == 0;
}

bool runsAProgram() {
  const pid_t child = ::fork();
  if (child == 0) {
    ::execl("/bin/true", "true", nullptr);
    ::_exit(1);
  }
  int status = 1;
  return ::waitpid(child, &status, 0) == child && status == 0;
}

bool connectsToLoopback() {
  return ::connect(unconnectedSocket, reinterpret_cast<const sockaddr*>(&loopbackListener),
                   sizeof loopbackListener) == 0;
}

struct Probe {
  const char* what;
  bool (*act)();
  long refusedFromAbi;
};

// In order: each step works on what the one before left.
const Probe kProbes[] = {
    {"create and write a new file inside", [] { return writesNewFile("pages/p.txt.new"); },
     kNeverRefused},
    {"link a file inside", [] { return ::link("pages/p.txt", "pages/p.txt.old") == 0; },
     kNeverRefused},
    {"rename over a file inside", [] { return ::rename("pages/p.txt.new", "pages/p.txt") == 0; },
     kNeverRefused},
    {"move inside without replacing",
     [] { return platform::renameWithoutReplacing("pages/p.txt.old", "pages/q.txt"); },
     kNeverRefused},
    {"truncate a file inside", [] { return opens("pages/p.txt", O_WRONLY | O_TRUNC); },
     kNeverRefused},
    {"open the folder to sync it", [] { return opens("pages", O_RDONLY | O_DIRECTORY); },
     kNeverRefused},
    {"remove a file inside", [] { return ::unlink("pages/q.txt") == 0; }, kNeverRefused},
    {"read a file outside", [] { return opens("outside.txt", O_RDONLY); }, 1},
    {"create a file outside", [] { return opens("made.txt", O_WRONLY | O_CREAT); }, 1},
    {"make a directory inside", [] { return ::mkdir("pages/folder", 0700) == 0; }, 1},
    {"run a program", runsAProgram, 1},
    {"connect to a loopback port", connectsToLoopback, 4},
    {"signal a process outside", [] { return ::kill(::getppid(), 0) == 0; }, 6},
    {"make a new socket", [] { return ::socket(AF_UNIX, SOCK_STREAM, 0) >= 0; }, kAlwaysRefused},
};

int listenOnLoopback() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  loopbackListener.sin_family = AF_INET;
  loopbackListener.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof loopbackListener;
  ::bind(fd, reinterpret_cast<const sockaddr*>(&loopbackListener), size);
  ::listen(fd, 1);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&loopbackListener), &size);
  return fd;
}

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
      seen += probe.act() ? '1' : '0';
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
  const int listener = listenOnLoopback();
  unconnectedSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const long abi = landlockAbi();
  if (abi == kNoLandlock) {
    std::cout << "This kernel has no Landlock: the server serves unconfined.\n";
  }
  const std::string seen = probeInConfinedChild(abi != kNoLandlock);
  ::close(listener);
  ::close(unconnectedSocket);
  std::cout << "Landlock ABI " << abi << "; the confined child saw " << seen << "\n";
  ASSERT_EQ(seen.size(), std::size(kProbes));
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i], abi >= kProbes[i].refusedFromAbi ? '0' : '1') << kProbes[i].what;
  }
}

}  // namespace
