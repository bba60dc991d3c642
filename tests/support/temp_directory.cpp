#include "support/temp_directory.h"

#include <stdlib.h>

#include <string>

std::filesystem::path makeTemporaryDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quillet-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    return {};
  }
  return pattern;
}

ScopedWorkingDirectory::ScopedWorkingDirectory()
    : previous_(std::filesystem::current_path()), path_(makeTemporaryDirectory()) {
  std::filesystem::current_path(path_);
}

ScopedWorkingDirectory::~ScopedWorkingDirectory() {
  std::filesystem::current_path(previous_);
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}
