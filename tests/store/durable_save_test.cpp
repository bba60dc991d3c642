// Watches one save through strace: the new file must be on disk before
// anything is moved, and the directory synced after the final move, or a
// power loss could leave an empty or missing page file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_directory.h"

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
      step = "move " + paths.at(0) + " to " + paths.at(1);
    }
    if (!step.empty() && (steps.empty() || steps.back() != step)) {
      steps.push_back(step);
    }
  }
  return steps;
}

TEST(DurableSave, NewFileReachesTheDiskBeforeTheMovesAndTheDirectoryAfter) {
  ASSERT_EQ(std::system("command -v strace >/dev/null 2>&1"), 0)
      << "strace is not installed (apt-get install strace)";
  ScopedWorkingDirectory directory;
  std::filesystem::create_directory("pages");
  std::ofstream("pages/home.txt") << "old text";
  // LeakSanitizer cannot run under ptrace, so the sanitizer build's probe
  // leaves leaks to the other tests.
  const std::string command =
      std::string("ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq -y -o strace.log ") +
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
