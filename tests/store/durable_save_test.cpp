// Watches one save through strace: the new file must be on disk before
// anything is moved, and the directory synced after the final move, or a
// power loss could leave an empty or missing page file. Then fails each step
// of a save in turn and checks what is left on disk and what the user is told.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
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
    } else if ((call == "newfstatat" || call == "lstat") &&
               line.find("\"pages/") != std::string::npos) {
      step = "look at " + quotedStrings(line).at(0);
    } else if (call.starts_with("unlink") && line.ends_with(" = 0")) {
      step = "delete " + quotedStrings(line).at(0);
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

const std::string kOld = "old text";
const std::string kOlder = "older text";
const std::string kNew = "new text";
constexpr std::nullopt_t kAbsent = std::nullopt;

std::optional<std::string> pageDirectoryFile(const std::string& name) {
  std::ifstream in("pages/" + name, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class SaveWatch : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(straceInstalled()) << "strace is not installed (apt-get install strace)";
    std::filesystem::create_directory("pages");
  }

  ScopedWorkingDirectory directory;
};

// The page's text gets a second name first, and the page file keeps its text
// until the new file replaces it in one step; where the link is refused, that
// second name is a copy, written and synced as the new file is. Where the
// file system has no no-replace rename either (FUSE), each move that must not
// replace looks at its target first.
struct WatchCase {
  const char* name;
  const char* faults;
  bool pageExists;
  bool backupExists;
  std::vector<std::string> steps;
  std::optional<std::string> backup;  // afterwards
};

void PrintTo(const WatchCase& watchCase, std::ostream* out) {
  *out << watchCase.name;
}

constexpr char kNoLinks[] = "-e inject=link,linkat:error=EPERM";
constexpr char kNeitherLinksNorNoReplace[] =
    "-e inject=link,linkat:error=EPERM -e inject=renameat2:error=EINVAL";

const WatchCase kWatches[] = {
    {"LinkThenReplace",
     "",
     true,
     false,
     {"link pages/home.txt to pages/home.txt.tmp", "write the new file", "sync the new file",
      "move pages/home.txt.new to pages/home.txt", "move pages/home.txt.tmp to pages/home.txt.old",
      "sync the directory"},
     kOld},
    {"NoHardLinksCopies",
     kNoLinks,
     true,
     false,
     {"link pages/home.txt to pages/home.txt.tmp, refused", "write the new file",
      "sync the new file", "move pages/home.txt.new to pages/home.txt.tmp", "write the new file",
      "sync the new file", "move pages/home.txt.new to pages/home.txt",
      "move pages/home.txt.tmp to pages/home.txt.old", "sync the directory"},
     kOld},
    {"NeitherLinksNorNoReplaceNewPage",
     kNeitherLinksNorNoReplace,
     false,
     false,
     {"write the new file", "sync the new file",
      "move pages/home.txt.new to pages/home.txt, refused",
      "link pages/home.txt.new to pages/home.txt, refused", "look at pages/home.txt",
      "move pages/home.txt.new to pages/home.txt", "sync the directory"},
     kAbsent},
    {"NeitherLinksNorNoReplaceOverAPageWithABackup",
     kNeitherLinksNorNoReplace,
     true,
     true,
     {"link pages/home.txt to pages/home.txt.tmp, refused", "write the new file",
      "sync the new file", "move pages/home.txt.new to pages/home.txt.tmp, refused",
      "link pages/home.txt.new to pages/home.txt.tmp, refused", "look at pages/home.txt.tmp",
      "move pages/home.txt.new to pages/home.txt.tmp", "write the new file", "sync the new file",
      "move pages/home.txt.new to pages/home.txt", "move pages/home.txt.tmp to pages/home.txt.old",
      "sync the directory"},
     kOld},
};

class SaveSteps : public SaveWatch, public testing::WithParamInterface<WatchCase> {};

TEST_P(SaveSteps, NewFileReachesTheDiskBeforeTheMovesAndTheDirectoryAfter) {
  if (GetParam().pageExists) {
    std::ofstream("pages/home.txt") << kOld;
  }
  if (GetParam().backupExists) {
    std::ofstream("pages/home.txt.old") << kOlder;
  }
  const TracedRun run = runTracedProbe(
      std::string("-y -o strace.log -e trace=%file,%desc ") + GetParam().faults, "save");
  ASSERT_EQ(run.status, 0) << "strace or the save failed: " << run.errors << run.output;

  std::ifstream log("strace.log");
  EXPECT_EQ(durableSteps(log), GetParam().steps);
  EXPECT_EQ(pageDirectoryFile("home.txt"), kNew);
  EXPECT_EQ(pageDirectoryFile("home.txt.old"), GetParam().backup);
  EXPECT_EQ(pageDirectoryFile("home.txt.tmp"), kAbsent);
}

INSTANTIATE_TEST_SUITE_P(Table, SaveSteps, testing::ValuesIn(kWatches),
                         [](const auto& info) { return std::string(info.param.name); });

// One call of the save fails with EIO; every other call works. Whichever
// fails, a failed save leaves the page and its backup as they were.
struct FaultCase {
  const char* name;
  // The calls on these files (in pages/, separated by spaces) are the ones
  // counted; strace takes a rename by its first path, a link by either.
  const char* files;
  const char* fault;  // strace's inject= value
  bool saved;
  std::optional<std::string> page;  // nullopt: no such file afterwards
  std::optional<std::string> backup;
  std::optional<std::string> newFile;
  std::optional<std::string> held;
};

void PrintTo(const FaultCase& faultCase, std::ostream* out) {
  *out << faultCase.name;
}

const FaultCase kFaults[] = {
    {"NewFileCannotBeOpened", "home.txt.new", "openat,open:error=EIO", false, kOld, kOlder, kAbsent,
     kAbsent},
    {"WriteFails", "home.txt.new", "write:error=EIO", false, kOld, kOlder, "", kAbsent},
    {"SyncFails", "home.txt.new", "fsync:error=EIO", false, kOld, kOlder, kNew, kAbsent},
    {"CloseFails", "home.txt.new", "close:error=EIO", false, kOld, kOlder, kNew, kAbsent},
    {"NewFileCannotReplaceThePage", "home.txt.new", "rename,renameat,renameat2:error=EIO", false,
     kOld, kOlder, kAbsent, kAbsent},
    {"BackupCannotBeReplaced", "home.txt.tmp", "rename,renameat,renameat2:error=EIO:when=1", false,
     kOld, kOlder, kAbsent, kAbsent},
    {"NoHardLinksCopies", "home.txt.tmp", "link,linkat:error=EPERM", true, kNew, kOld, kAbsent,
     kAbsent},
    {"CopyCannotBeWritten", "home.txt.tmp home.txt.new",
     "link,linkat:error=EPERM -e inject=write:error=EIO:when=1", false, kOld, kOlder, "", kAbsent},
    {"CopyCannotTakeTheHeldName", "home.txt.tmp home.txt.new",
     "link,linkat:error=EPERM -e inject=renameat2:error=EIO", false, kOld, kOlder, kAbsent,
     kAbsent},
    {"NewFileCannotReplaceThePageAfterACopy", "home.txt.tmp home.txt.new",
     "link,linkat:error=EPERM -e inject=rename:error=EIO", false, kOld, kOlder, kAbsent, kAbsent},
    // The page holds the new text, and the held one waits for the next save
    // to make it the backup.
    {"HeldTextCannotReplaceTheBackupNorGoBack", "home.txt.tmp", "rename:error=EIO", false, kNew,
     kOlder, kAbsent, kOld},
    // The moves may be lost in a power cut, so the save is not acknowledged.
    {"DirectorySyncFails", "", "fsync:error=EIO", false, kNew, kOld, kAbsent, kAbsent},
    // The file system cannot sync a directory at all.
    {"DirectorySyncNotOffered", "", "fsync:error=EINVAL", true, kNew, kOld, kAbsent, kAbsent},
};

class SaveUnderAFailingCall : public SaveWatch, public testing::WithParamInterface<FaultCase> {};

TEST_P(SaveUnderAFailingCall, LeavesAWholePageAndSaysWhetherItSaved) {
  std::ofstream("pages/home.txt") << kOld;
  std::ofstream("pages/home.txt.old") << kOlder;
  std::string filter;
  std::istringstream files(GetParam().files);
  for (std::string file; files >> file;) {
    filter += onlyCallsOn({"pages/" + file});
  }
  if (filter.empty()) {
    filter = onlyCallsOn({"pages"});
  }
  const TracedRun run = runTracedProbe(filter + " -e inject=" + GetParam().fault, "save");
  ASSERT_NE(run.errors.find("(INJECTED)"), std::string::npos) << "no call failed: " << run.errors;

  EXPECT_EQ(run.output, GetParam().saved
                            ? framedPage("<b>Page saved!</b> - " + navigationLine("home") + kNew)
                            : framedPage("Failed to save the page contents."));
  EXPECT_EQ(pageDirectoryFile("home.txt"), GetParam().page);
  EXPECT_EQ(pageDirectoryFile("home.txt.old"), GetParam().backup);
  EXPECT_EQ(pageDirectoryFile("home.txt.new"), GetParam().newFile);
  EXPECT_EQ(pageDirectoryFile("home.txt.tmp"), GetParam().held);
}

INSTANTIATE_TEST_SUITE_P(Table, SaveUnderAFailingCall, testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
