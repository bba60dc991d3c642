// Watches one save through strace: the new file must be on disk before
// anything is moved, and the directory synced after the final move, or a
// power loss could leave an empty or missing page file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_directory.h"

namespace {

bool inCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

// One line of strace's log: "PID name(first, ...) = result", with the
// strings among the arguments.
struct SystemCall {
  std::string name, first, result;
  std::vector<std::string> strings;
};

bool parseCall(const std::string& line, SystemCall& call) {
  const std::size_t open = line.find('(');
  const std::size_t equals = line.rfind(" = ");  // after padding spaces
  const std::size_t close = line.rfind(')', equals);
  if (open == std::string::npos || equals == std::string::npos || close == std::string::npos ||
      close < open) {
    return false;
  }
  const std::size_t nameStart = line.find_first_not_of("0123456789 ");
  call.name = line.substr(nameStart, open - nameStart);
  call.first = line.substr(open + 1, line.find_first_of(",)", open) - open - 1);
  std::istringstream(line.substr(equals + 3)) >> call.result;
  call.strings.clear();
  for (std::size_t quote = line.find('"'); quote < close; quote = line.find('"', quote + 1)) {
    const std::size_t end = line.find('"', quote + 1);
    call.strings.push_back(line.substr(quote + 1, end - quote - 1));
    quote = end;
  }
  return true;
}

// The steps of the save that matter for durability, in the order strace saw
// them, e.g. "sync the new file" or "move pages/a to pages/b".
std::vector<std::string> durableSteps(std::istream& log) {
  std::map<std::string, std::string> roleOfDescriptor;
  std::vector<std::string> steps;
  const auto add = [&steps](const std::string& step) {
    if (steps.empty() || steps.back() != step) {
      steps.push_back(step);
    }
  };
  std::string line;
  SystemCall call;
  while (std::getline(log, line)) {
    if (!parseCall(line, call)) {
      continue;
    }
    const std::string path = call.strings.empty() ? "" : call.strings[0];
    if (call.name == "openat" && path == "pages/home.txt.new") {
      roleOfDescriptor[call.result] = "new file";
    } else if (call.name == "openat" && path == "pages") {
      roleOfDescriptor[call.result] = "directory";
    } else if (call.name == "close") {
      roleOfDescriptor.erase(call.first);
    } else if (call.name == "write" && roleOfDescriptor[call.first] == "new file") {
      add("write the new file");
    } else if ((call.name == "fsync" || call.name == "fdatasync") &&
               roleOfDescriptor.count(call.first) != 0) {
      add("sync the " + roleOfDescriptor[call.first]);
    } else if (call.name.rfind("rename", 0) == 0 || call.name.rfind("link", 0) == 0) {
      add("move " + path + " to " + call.strings.at(1));
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
  // LeakSanitizer cannot run under ptrace, so the sanitizer build's probe
  // leaves leaks to the other tests.
  const std::string command =
      std::string("ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq -o strace.log ") +
      "-e trace=%file,%desc " + QUILLET_SAVE_PROBE + " 2>strace.err";
  ASSERT_EQ(std::system(command.c_str()), 0) << "strace or the save failed: " << [] {
    std::ifstream errors("strace.err");
    return std::string(std::istreambuf_iterator<char>(errors), {});
  }();

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
