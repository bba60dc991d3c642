// SIGKILL at random moments during a stream of saves of one page: after every
// kill the last saved text, or the one being saved, is whole on disk. Then one
// save killed before each of its file-system calls in turn, and a failing save
// after it, which must leave the backup true.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "blackbox/blackbox.h"
#include "support/temp_directory.h"
#include "support/traced_probe.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::optional<std::string> readIfPresent(const fs::path& path) {
  if (!fs::exists(path)) {
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Large enough that a torn write would show, and different in every save.
std::string textOfSave(int save) {
  std::string text = "save " + std::to_string(save) + ":";
  text.append(150000 + save % 1000, static_cast<char>('a' + save % 26));
  return text;
}

int roundCount() {
  const char* value = std::getenv("QUILLET_CRASH_ROUNDS");
  return value != nullptr ? std::atoi(value) : 40;
}

TEST(CrashSafety, KilledSavesLeaveTheLastOrTheNextTextWhole) {
  ASSERT_FALSE(portIsListening());
  const fs::path directory = makeTemporaryDirectory();
  const fs::path page = directory / "pages" / "page.txt";
  std::mt19937 random(7);
  std::optional<std::string> lastSaved;  // acknowledged by the server
  int nextSave = 0;
  int betweenRenames = 0;

  for (int round = 0; round < roundCount(); ++round) {
    ServerProcess server;
    ASSERT_TRUE(server.startIn(directory));
    std::atomic<int> inFlight{-1};
    std::atomic<bool> stop{false};
    std::optional<std::string> acknowledged = lastSaved;
    std::thread client([&] {
      while (!stop) {
        const int save = nextSave++;
        inFlight = save;
        const std::string reply =
            exchange(fullBufferRequest("/save/page?data=" + textOfSave(save) + "&eof=1")).bytes;
        if (reply.find("<b>Page saved!</b>") == std::string::npos) {
          return;  // killed mid-save
        }
        acknowledged = textOfSave(save);
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 150));
    server.killAtOnce();
    stop = true;
    client.join();

    const std::optional<std::string> current = readIfPresent(page);
    const std::string pending = textOfSave(inFlight);
    if (current) {
      EXPECT_TRUE(current == acknowledged || *current == pending)
          << "round " << round << ": the page file holds neither whole text";
    } else if (acknowledged) {
      ++betweenRenames;
      EXPECT_EQ(readIfPresent(directory / "pages" / "page.txt.old"), acknowledged)
          << "round " << round;
      EXPECT_EQ(readIfPresent(directory / "pages" / "page.txt.new"), pending) << "round " << round;
    }
    lastSaved = current ? current : acknowledged;
  }
  RecordProperty("KillsBetweenRenames", betweenRenames);

  // After the last kill the server starts and saves as usual.
  ServerProcess server;
  ASSERT_TRUE(server.startIn(directory));
  EXPECT_NE(fetch("/save/page?data=after&eof=1").find("Page saved!"), std::string::npos);
  EXPECT_EQ(readIfPresent(page), "after");
  server.stop();
  fs::remove_all(directory);
}

// One call of the probe's save, as strace wrote it: the kill lands on the
// occurrence-th call of that name on the page's files.
struct KillPoint {
  std::string call;
  int occurrence;
  std::string line;
};

std::string savePaths() {
  return onlyCallsOn({"pages", "pages/home.txt", "pages/home.txt.new", "pages/home.txt.old",
                      "pages/home.txt.tmp"});
}

// Each file anew, so that a page of another user is that user's again.
void resetPage() {
  for (const char* file :
       {"pages/home.txt", "pages/home.txt.old", "pages/home.txt.new", "pages/home.txt.tmp"}) {
    fs::remove(file);
  }
  std::ofstream("pages/home.txt") << "old text";
  std::ofstream("pages/home.txt.old") << "older text";
}

// The file system the save meets, as strace makes it refuse calls, or the
// kernel does: its protected hard links refuse a link to another user's file
// (the page is root's, the save runs as nobody). A call it refuses changes
// nothing, so a kill before it leaves what a kill before the next call
// leaves; those points are not tried.
struct FileSystemKind {
  const char* name;
  std::string conditions;  // strace options
  std::vector<std::string> refusedCalls;
  bool pageOfAnotherUser;
};

void PrintTo(const FileSystemKind& kind, std::ostream* out) {
  *out << kind.name;
}

const FileSystemKind kFileSystemKinds[] = {
    {"HardLinks", "", {}, false},
    {"NoHardLinks", " -e inject=link,linkat:error=EPERM", {"link", "linkat"}, false},
    {"NeitherLinksNorNoReplace",
     " -e inject=link,linkat:error=EPERM -e inject=renameat2:error=EINVAL",
     {"link", "linkat", "renameat2"},
     false},
    {"PageOfAnotherUser", " -u nobody", {"link", "linkat"}, true},
};

bool linksToOthersFilesRefused() {
  std::ifstream setting("/proc/sys/fs/protected_hardlinks");
  int value = 0;
  return setting >> value && value == 1;
}

// The other user runs a copy of the probe in the working directory, since the
// build folder may lie where only its owner may go (a home folder, /root).
std::string probeFor(const FileSystemKind& kind) {
  if (!kind.pageOfAnotherUser) {
    return QUILLET_IO_PROBE;
  }
  fs::copy_file(QUILLET_IO_PROBE, "io_probe", fs::copy_options::overwrite_existing);
  fs::permissions("io_probe",
                  fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  return (fs::current_path() / "io_probe").string();
}

// Up to the directory sync's close, where the save is complete.
std::vector<KillPoint> callsOfOneSave(const FileSystemKind& kind, const std::string& probe) {
  resetPage();
  runTracedProbe(savePaths() + " -y -o calls.log -e trace=%file,%desc" + kind.conditions, "save",
                 probe);
  const std::string here = fs::current_path().string();
  std::map<std::string, int> seen;
  std::vector<KillPoint> points;
  std::ifstream log("calls.log");
  for (std::string line; std::getline(log, line);) {
    line.erase(0, line.find_first_not_of("0123456789 "));
    const std::size_t open = line.find('(');
    if (open == std::string::npos || line.starts_with("+++")) {
      continue;
    }
    for (const std::string& noise : {"AT_FDCWD<" + here + ">, ", here + "/"}) {
      for (std::size_t at; (at = line.find(noise)) != std::string::npos;) {
        line.erase(at, noise.size());
      }
    }
    const std::string call = line.substr(0, open);
    const int occurrence = ++seen[call];
    if (std::find(kind.refusedCalls.begin(), kind.refusedCalls.end(), call) ==
        kind.refusedCalls.end()) {
      points.push_back({call, occurrence, line.substr(0, line.rfind(" = "))});
    }
    if (call == "close" && line.find("<pages>)") != std::string::npos) {
      break;
    }
  }
  return points;
}

std::string shown(const std::optional<std::string>& file) {
  return !file ? "-" : file->empty() ? "(empty)" : *file;
}

class CrashSafety : public testing::TestWithParam<FileSystemKind> {};

TEST_P(CrashSafety, ASaveKilledBeforeAnyOfItsCallsLeavesThePageWholeAndTheBackupTrue) {
  ASSERT_FALSE(portIsListening());
  ASSERT_TRUE(straceInstalled()) << "strace is not installed (apt-get install strace)";
  if (GetParam().pageOfAnotherUser && (::geteuid() != 0 || !linksToOthersFilesRefused())) {
    GTEST_SKIP() << "needs root and fs.protected_hardlinks=1";
  }
  ScopedWorkingDirectory directory;
  fs::create_directory("pages");
  // Open to the other user, who must reach and write in pages/.
  fs::permissions(".", fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions("pages", fs::perms::all);
  const std::string probe = probeFor(GetParam());
  const std::vector<KillPoint> points = callsOfOneSave(GetParam(), probe);
  ASSERT_GT(points.size(), 10u) << "the traced save made too few calls; strace said: "
                                << readIfPresent("strace.err").value_or("-");

  std::ostringstream table;
  for (const KillPoint& point : points) {
    resetPage();
    const TracedRun run =
        runTracedProbe(savePaths() + GetParam().conditions + " -e inject=" + point.call +
                           ":signal=KILL:when=" + std::to_string(point.occurrence),
                       "save", probe);
    const std::optional<std::string> page = readIfPresent("pages/home.txt");
    table << std::left << std::setw(70) << point.line.substr(0, 68) << std::setw(10) << shown(page)
          << std::setw(12) << shown(readIfPresent("pages/home.txt.old")) << std::setw(10)
          << shown(readIfPresent("pages/home.txt.new"))
          << shown(readIfPresent("pages/home.txt.tmp")) << "\n";
    SCOPED_TRACE("killed before " + point.line);
    EXPECT_EQ(run.output, "") << "the save finished";
    ASSERT_TRUE(page == "old text" || page == "new text") << shown(page);
    const std::string before = page == "new text" ? "old text" : "older text";

    // A full disk: the save fails, and what the kill left is put right.
    const TracedRun failed =
        runTracedProbe(savePaths() + GetParam().conditions + " -e inject=write:error=ENOSPC",
                       "save other+text", probe);
    EXPECT_EQ(failed.output, framedPage("Failed to save the page contents."));
    EXPECT_EQ(readIfPresent("pages/home.txt"), page);
    EXPECT_EQ(readIfPresent("pages/home.txt.old"), before);
    EXPECT_FALSE(fs::exists("pages/home.txt.tmp"));

    ServerProcess server;
    ASSERT_TRUE(server.startIn(directory.path()));
    EXPECT_EQ(fetch("/wiki/home"), framedReply(navigationLine("home") + *page));
    EXPECT_NE(fetch("/save/home?data=third+text&eof=1").find("Page saved!"), std::string::npos);
    EXPECT_EQ(readIfPresent("pages/home.txt"), "third text");
    EXPECT_EQ(readIfPresent("pages/home.txt.old"), page);
    EXPECT_FALSE(fs::exists("pages/home.txt.tmp"));
  }
  std::cout << GetParam().name << ":\n"
            << std::left << std::setw(70) << "killed before" << std::setw(10) << "page"
            << std::setw(12) << "backup" << std::setw(10) << "new file"
            << "held\n"
            << table.str();
}

INSTANTIATE_TEST_SUITE_P(Table, CrashSafety, testing::ValuesIn(kFileSystemKinds),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
