// Watches one save through strace: the new file must be on disk before
// anything is moved, and the directory synced after the final move, or a
// power loss could leave an empty or missing page file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_directory.h"

namespace {

bool inCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

// The steps of the save that matter for durability, in the order strace saw
// them, e.g. "sync the new file" or "move pages/a to pages/b".
std::vector<std::string> durableSteps(std::istream& log) {
  static const std::regex kCall(R"(^(?:\d+ +)?(\w+)\(([^,)]*)(.*)\) += (-?\d+))");
  static const std::regex kQuoted("\"([^\"]*)\"");
  std::map<std::string, std::string> roleOfDescriptor;
  std::vector<std::string> steps;
  const auto add = [&steps](const std::string& step) {
    if (steps.empty() || steps.back() != step) {
      steps.push_back(step);
    }
  };
  std::string line;
  while (std::getline(log, line)) {
    std::smatch call;
    if (!std::regex_search(line, call, kCall)) {
      continue;
    }
    const std::string name = call[1], first = call[2], rest = call[3], result = call[4];
    std::vector<std::string> paths;
    for (std::sregex_iterator it(line.begin(), line.end(), kQuoted), end; it != end; ++it) {
      paths.push_back((*it)[1]);
    }
    if (name == "openat" && !paths.empty() && paths[0] == "pages/home.txt.new") {
      roleOfDescriptor[result] = "new file";
    } else if (name == "openat" && !paths.empty() && paths[0] == "pages") {
      roleOfDescriptor[result] = "directory";
    } else if (name == "close") {
      roleOfDescriptor.erase(first);
    } else if (name == "write" && roleOfDescriptor[first] == "new file") {
      add("write the new file");
    } else if ((name == "fsync" || name == "fdatasync") && roleOfDescriptor.count(first) != 0) {
      add("sync the " + roleOfDescriptor[first]);
    } else if (name.rfind("rename", 0) == 0 || name.rfind("link", 0) == 0) {
      add("move " + paths.at(0) + " to " + paths.at(1));
    }
  }
  return steps;
}

TEST(DurableSave, NewFileReachesTheDiskBeforeTheMovesAndTheDirectoryAfter) {
  if (std::system("command -v strace >/dev/null 2>&1") != 0) {
    if (inCi()) {
      FAIL() << "strace is missing (apt-get install strace)";
    }
    GTEST_SKIP() << "strace is not installed: the durable steps of a save are not checked";
  }
  ScopedWorkingDirectory directory;
  std::filesystem::create_directory("pages");
  std::ofstream("pages/home.txt") << "old text";
  const std::string command = std::string("strace -f -qq -o strace.log -e trace=%file,%desc ") +
                              QUILLET_SAVE_PROBE + " 2>strace.err";
  ASSERT_EQ(std::system(command.c_str()), 0) << "strace or the save failed";

  std::ifstream log("strace.log");
  EXPECT_EQ(durableSteps(log), (std::vector<std::string>{
                                   "write the new file",
                                   "sync the new file",
                                   "move pages/home.txt to pages/home.txt.old",
                                   "move pages/home.txt.new to pages/home.txt",
                                   "sync the directory",
                               }));
}

}  // namespace
