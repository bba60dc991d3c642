// What the server keeps from itself once it serves, seen from outside, and
// the note it leaves where the kernel withholds a part.
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "blackbox/blackbox.h"

namespace {

constexpr char kQemuRefusesSeccomp[] = "qemu's user mode refuses seccomp";
constexpr char kQemuLacksLandlock[] = "qemu's user mode lacks the Landlock calls";
constexpr char kWindowsBuild[] = "the Windows build has neither seccomp nor Landlock";

// Asked of the kernel directly; errno then holds why it has none.
bool kernelHasLandlock() {
  return ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U) > 0;
}

// The text after "Name:" in /proc/PID/status, without the tab.
std::string statusField(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":\t", 0) == 0) {
      return line.substr(name.size() + 2);
    }
  }
  return "(none)";
}

TEST_F(BlackBox, ServesUnderTheSocketFilterWithoutNewPrivileges) {
  SKIP_UNDER_WINE(kWindowsBuild);
  SKIP_UNDER_QEMU(kQemuRefusesSeccomp);
  ASSERT_EQ(fetch("/").substr(0, kStatusLine.size()), kStatusLine);  // confined by then
  EXPECT_EQ(statusField(server.pid(), "Seccomp"), "2");
  EXPECT_EQ(statusField(server.pid(), "NoNewPrivs"), "1");
}

TEST_F(BlackBox, LinkOutOfThePagesFolderIsNotFollowed) {
  SKIP_UNDER_WINE(kWindowsBuild);
  SKIP_UNDER_QEMU(kQemuLacksLandlock);
  if (!kernelHasLandlock()) {
    GTEST_SKIP() << "this kernel has no Landlock";
  }
  std::ofstream(server.directory() / "private.txt") << "private";
  std::filesystem::create_symlink("../private.txt", server.pagePath("leak.txt"));
  EXPECT_EQ(fetch("/wiki/leak"), framedReply(missingPage("leak")));
}

TEST_F(BlackBox, NotesOnStandardErrorOnlyWhatTheKernelWithholds) {
  SKIP_UNDER_WINE("the Windows build shows no notes");
  ASSERT_EQ(fetch("/").substr(0, kStatusLine.size()), kStatusLine);
  const std::string notes = server.standardError();
  if (underQemu()) {
    // Its reasons vary with qemu's version; every part it withholds is noted.
    std::istringstream lines(notes);
    std::string line;
    bool filterNoted = false;
    while (std::getline(lines, line)) {
      EXPECT_EQ(line.rfind("Note: serving without ", 0), 0u) << line;
      filterNoted |=
          line.rfind("Note: serving without the filter on new sockets (seccomp): ", 0) == 0;
    }
    EXPECT_TRUE(filterNoted) << notes;
  } else if (kernelHasLandlock()) {
    EXPECT_EQ(notes, "");
  } else {
    EXPECT_EQ(notes, std::string("Note: serving without the rules on files (Landlock): ") +
                         std::strerror(errno) + "\n");
  }
}

}  // namespace
