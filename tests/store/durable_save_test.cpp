// Watches one save through strace: the new file must be on disk before
// anything is moved, and the directory synced after the final move, or a
// power loss could leave an empty or missing page file. Then fails each step
// of a save in turn and checks what is left on disk and what the user is told.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/expected_pages.h"
#include "support/temp_directory.h"
#include "support/traced_probe.h"

namespace {

// The quoted strings of one line of strace's log, in order.
std::vector<std::string> quotedStrings(const std::string& line) {
  std::vector<std::string> strings;
  for (std::size_t open = line.find('"'); open != std::string::npos;) {
    const std::size_t close = line.find('"', open + 1);
    strings.push_back(line.substr(open + 1, close - open - 1));
    open = close == std::string::npos ? close : line.find('"', close + 1);
  }
  return strings;
}

// The steps of the save that matter for durability, in the order strace saw
// them, e.g. "sync the new file" or "move pages/a to pages/b". strace -y
// writes each descriptor with its path, "3</tmp/x/pages/home.txt.new>".
std::vector<std::string> durableSteps(std::istream& log) {
  const std::pair<std::string, std::string> kRoles[] = {{"/pages/home.txt.new>", "the new file"},
                                                        {"/pages>", "the directory"}};
  std::vector<std::string> steps;
  std::string line;
  while (std::getline(log, line)) {
    const std::size_t open = line.find('(');
    if (open == std::string::npos) {
      continue;
    }
    const std::size_t nameStart = line.find_first_not_of("0123456789 ");
    const std::string call = line.substr(nameStart, open - nameStart);
    const std::string descriptor = line.substr(open + 1, line.find_first_of(",)", open) - open - 1);
    std::string role;
    for (const auto& [suffix, name] : kRoles) {
      if (descriptor.ends_with(suffix)) {
        role = name;
      }
    }
    std::string step;
    if (call == "write" && role == "the new file") {
      step = "write the new file";
    } else if ((call == "fsync" || call == "fdatasync") && !role.empty()) {
      step = "sync " + role;
    } else if (call.starts_with("rename") || call.starts_with("link")) {
      const std::vector<std::string> paths = quotedStrings(line);
      step = (call.starts_with("link") ? "link " : "move ") + paths.at(0) + " to " + paths.at(1);
      if (line.find(" = -1 ") != std::string::npos) {
        step += ", refused";
      }
    }
    if (!step.empty() && (steps.empty() || steps.back() != step)) {
      steps.push_back(step);
    }
  }
  return steps;
}

class SaveWatch : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(straceInstalled()) << "strace is not installed (apt-get install strace)";
    std::filesystem::create_directory("pages");
    std::ofstream("pages/home.txt") << "old text";
  }

  ScopedWorkingDirectory directory;
};

// The page file keeps its text until the new file replaces it in one step;
// only where the file system has no hard links is it moved aside first.
struct WatchCase {
  const char* name;
  const char* faults;
  std::vector<std::string> steps;
};

void PrintTo(const WatchCase& watchCase, std::ostream* out) {
  *out << watchCase.name;
}

const WatchCase kWatches[] = {
    {"LinkThenReplace",
     "",
     {"write the new file", "sync the new file", "link pages/home.txt to pages/home.txt.old",
      "move pages/home.txt.new to pages/home.txt", "sync the directory"}},
    {"NoHardLinksMovesTwice",
     "-e inject=link,linkat:error=EPERM",
     {"write the new file", "sync the new file",
      "link pages/home.txt to pages/home.txt.old, refused",
      "move pages/home.txt to pages/home.txt.old", "move pages/home.txt.new to pages/home.txt",
      "sync the directory"}},
};

class SaveSteps : public SaveWatch, public testing::WithParamInterface<WatchCase> {};

TEST_P(SaveSteps, NewFileReachesTheDiskBeforeTheMovesAndTheDirectoryAfter) {
  const TracedRun run = runTracedProbe(
      std::string("-y -o strace.log -e trace=%file,%desc ") + GetParam().faults, "save");
  ASSERT_EQ(run.status, 0) << "strace or the save failed: " << run.errors << run.output;

  std::ifstream log("strace.log");
  EXPECT_EQ(durableSteps(log), GetParam().steps);
}

INSTANTIATE_TEST_SUITE_P(Table, SaveSteps, testing::ValuesIn(kWatches),
                         [](const auto& info) { return std::string(info.param.name); });

// One call of the save fails with EIO; every other call works.
struct FaultCase {
  const char* name;
  const char* file;   // the calls on this file (in pages/) are the ones counted
  const char* fault;  // strace's inject= value
  bool saved;
  std::optional<std::string> page;  // nullopt: no such file afterwards
  std::optional<std::string> backup;
  std::optional<std::string> newFile;
};

void PrintTo(const FaultCase& faultCase, std::ostream* out) {
  *out << faultCase.name;
}

const std::string kOld = "old text";
const std::string kOlder = "older text";
const std::string kNew = "new text";
constexpr std::nullopt_t kAbsent = std::nullopt;

const FaultCase kFaults[] = {
    {"NewFileCannotBeOpened", "home.txt.new", "openat,open:error=EIO", false, kOld, kOlder,
     kAbsent},
    {"WriteFails", "home.txt.new", "write:error=EIO", false, kOld, kOlder, ""},
    {"SyncFails", "home.txt.new", "fsync:error=EIO", false, kOld, kOlder, kNew},
    {"CloseFails", "home.txt.new", "close:error=EIO", false, kOld, kOlder, kNew},
    {"OldBackupCannotBeDeleted", "home.txt.old", "unlink,unlinkat:error=EIO", false, kOld, kOlder,
     kAbsent},
    {"NoHardLinksMovesTwice", "home.txt.old", "link,linkat:error=EPERM", true, kNew, kOld, kAbsent},
    {"PageCannotBeMovedToTheBackup", "home.txt.old",
     "link,linkat:error=EPERM -e inject=renameat2:error=EIO:when=1", false, kOld, kAbsent, kAbsent},
    {"NewFileCannotReplaceThePage", "home.txt.new", "rename,renameat,renameat2:error=EIO", false,
     kOld, kAbsent, kAbsent},
    {"NorCanTheBackupBeMovedBack", "home.txt",
     "link,linkat:error=EPERM -e inject=renameat2:error=EIO:when=2+", false, kAbsent, kOld,
     kAbsent},
    {"DirectorySyncFails", "", "fsync:error=EIO", true, kNew, kOld, kAbsent},
};

class SaveUnderAFailingCall : public SaveWatch, public testing::WithParamInterface<FaultCase> {
 protected:
  static std::optional<std::string> file(const std::string& name) {
    std::ifstream in("pages/" + name, std::ios::binary);
    if (!in) {
      return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

TEST_P(SaveUnderAFailingCall, LeavesAWholePageAndSaysWhetherItSaved) {
  std::ofstream("pages/home.txt.old") << kOlder;
  const std::string path = std::string("pages/") + GetParam().file;
  const TracedRun run = runTracedProbe(
      onlyCallsOn({path.back() == '/' ? "pages" : path}) + " -e inject=" + GetParam().fault,
      "save");
  ASSERT_NE(run.errors.find("(INJECTED)"), std::string::npos) << "no call failed: " << run.errors;

  EXPECT_EQ(run.output, GetParam().saved
                            ? framedPage("<b>Page saved!</b> - " + navigationLine("home") + kNew)
                            : framedPage("Failed to save the page contents."));
  EXPECT_EQ(file("home.txt"), GetParam().page);
  EXPECT_EQ(file("home.txt.old"), GetParam().backup);
  EXPECT_EQ(file("home.txt.new"), GetParam().newFile);
}

INSTANTIATE_TEST_SUITE_P(Table, SaveUnderAFailingCall, testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
