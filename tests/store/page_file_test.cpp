#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <new>
#include <string>

#include "store/page_store.h"
#include "support/temp_directory.h"

namespace {
// While above 0, allocations of at least this many bytes fail.
std::size_t failingAllocationSize = 0;
}  // namespace

// For the whole test binary, every form at once so that the sanitizers see
// one allocator; it only fails anything while the size is set.
void* operator new(std::size_t size) {
  if (failingAllocationSize > 0 && size >= failingAllocationSize) {
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) {
    return block;
  }
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept {
  return operator new(size, nothrow);
}
// The compiler takes delete to pair with the library's new, not this one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}
#pragma GCC diagnostic pop

namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

class PageFiles : public testing::Test {
 protected:
  void SetUp() override { fs::create_directory("pages"); }

  static void writeFile(const std::string& file, const std::string& bytes) {
    std::ofstream(fs::path("pages") / file, std::ios::binary) << bytes;
  }
  static std::string readFile(const std::string& file) {
    std::ifstream in(fs::path("pages") / file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static bool exists(const std::string& file) { return fs::exists(fs::path("pages") / file); }

  ScopedWorkingDirectory directory;
};

struct LoadCase {
  const char* name;
  std::string fileBytes;
  std::string loaded;
};

void PrintTo(const LoadCase& loadCase, std::ostream* out) {
  *out << loadCase.name;
}

const LoadCase kLoadCases[] = {
    {"EmptyFile", "", ""},
    {"PlainText", "Hello [world]", "Hello [world]"},
    {"ZeroByteEndsText", "ab\0cd"s, "ab"},
    {"LineEndsKept", "a\r\nb\rc\n", "a\r\nb\rc\n"},
    {"HighBytesKept", "\xc3\xa9\x80\xff", "\xc3\xa9\x80\xff"},
};

class Loading : public PageFiles, public testing::WithParamInterface<LoadCase> {};

TEST_P(Loading, GivesFileBytesUpToFirstZero) {
  writeFile("page.txt", GetParam().fileBytes);
  std::string text;
  EXPECT_TRUE(loadPage("page", text));
  EXPECT_EQ(text, GetParam().loaded);
}

INSTANTIATE_TEST_SUITE_P(Table, Loading, testing::ValuesIn(kLoadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PageFiles, MissingPageLoadsFalseAndLeavesTextAlone) {
  std::string text = "kept";
  EXPECT_FALSE(loadPage("absent", text));
  EXPECT_EQ(text, "kept");
}

TEST_F(PageFiles, BackupWithoutPageFileIsNotUsed) {
  writeFile("gone.txt.old", "old text");
  std::string text;
  EXPECT_FALSE(loadPage("gone", text));
  EXPECT_EQ(text, "");
}

TEST_F(PageFiles, SavedTextsRoundTripByteForByte) {
  const std::string texts[] = {
      "", "Hi", "a\r\nb\n", "ab\0cd"s, std::string(700000, 'x'), "\x01\x7f\x80\xfe\xff"};
  for (const std::string& text : texts) {
    ASSERT_TRUE(savePage("round", text));
    EXPECT_EQ(readFile("round.txt"), text);
    EXPECT_FALSE(exists("round.txt.new"));
  }
}

TEST_F(PageFiles, FirstSaveLeavesNoBackupAndEachLaterSaveKeepsThePreviousText) {
  ASSERT_TRUE(savePage("home", "first"));
  EXPECT_EQ(readFile("home.txt"), "first");
  EXPECT_FALSE(exists("home.txt.old"));

  ASSERT_TRUE(savePage("home", "second"));
  EXPECT_EQ(readFile("home.txt"), "second");
  EXPECT_EQ(readFile("home.txt.old"), "first");
  EXPECT_FALSE(exists("home.txt.new"));

  ASSERT_TRUE(savePage("home", "third"));
  EXPECT_EQ(readFile("home.txt"), "third");
  EXPECT_EQ(readFile("home.txt.old"), "second");
  EXPECT_FALSE(exists("home.txt.new"));
}

// A browser's reload of a "Page saved!" tab sends the same save again.
TEST_F(PageFiles, SavingTheTextThePageHoldsKeepsTheBackup) {
  ASSERT_TRUE(savePage("home", "first\0a"s));
  ASSERT_TRUE(savePage("home", "second\0b"s));
  ASSERT_TRUE(savePage("home", "second\0b"s));
  EXPECT_EQ(readFile("home.txt"), "second\0b"s);
  EXPECT_EQ(readFile("home.txt.old"), "first\0a"s);
  EXPECT_FALSE(exists("home.txt.new"));

  // The same length or the same bytes before a zero is not the same text.
  ASSERT_TRUE(savePage("home", "second\0c"s));
  EXPECT_EQ(readFile("home.txt"), "second\0c"s);
  EXPECT_EQ(readFile("home.txt.old"), "second\0b"s);
}

TEST_F(PageFiles, FirstSaveLeavesAnOlderBackupAlone) {
  writeFile("home.txt.old", "ancient");
  ASSERT_TRUE(savePage("home", "new"));
  EXPECT_EQ(readFile("home.txt"), "new");
  EXPECT_EQ(readFile("home.txt.old"), "ancient");
}

TEST_F(PageFiles, LeftOverNewFileIsTruncatedAndRewritten) {
  writeFile("home.txt.new", std::string(1000, 'z'));
  ASSERT_TRUE(savePage("home", "short"));
  EXPECT_EQ(readFile("home.txt"), "short");
  EXPECT_FALSE(exists("home.txt.new"));
}

TEST_F(PageFiles, UnopenableNewFileFailsAndChangesNothing) {
  writeFile("home.txt", "page");
  writeFile("home.txt.old", "backup");
  fs::create_directory("pages/home.txt.new");
  EXPECT_FALSE(savePage("home", "lost"));
  EXPECT_EQ(readFile("home.txt"), "page");
  EXPECT_EQ(readFile("home.txt.old"), "backup");
  EXPECT_TRUE(fs::is_directory("pages/home.txt.new"));
}

// What another program may leave at the new file's name. The save must not
// write through a link (even one whose target is missing) nor wait on a FIFO.
struct SquatterCase {
  const char* name;
  void (*place)(const char* path);
};

void PrintTo(const SquatterCase& squatter, std::ostream* out) {
  *out << squatter.name;
}

const SquatterCase kSquatters[] = {
    {"LinkToAFileElsewhere", [](const char* path) { fs::create_symlink("../outside.txt", path); }},
    {"LinkToAMissingFile", [](const char* path) { fs::create_symlink("../nowhere.txt", path); }},
    {"Fifo", [](const char* path) { ::mkfifo(path, 0600); }},
};

class NewFileName : public PageFiles, public testing::WithParamInterface<SquatterCase> {};

TEST_P(NewFileName, WhateverStandsThereGivesWayToAFreshFile) {
  std::ofstream("outside.txt") << "untouched";
  writeFile("home.txt", "old");
  GetParam().place("pages/home.txt.new");

  auto saving = std::async(std::launch::async, [] { return savePage("home", "new"); });
  if (saving.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
    ADD_FAILURE() << "the save blocked";
    const int reader = ::open("pages/home.txt.new", O_RDONLY | O_NONBLOCK);  // lets it go on
    saving.wait();
    ::close(reader);
  }
  EXPECT_TRUE(saving.get());
  EXPECT_EQ(readFile("home.txt"), "new");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status("pages/home.txt")));
  EXPECT_EQ(readFile("home.txt.old"), "old");
  EXPECT_FALSE(fs::exists(fs::symlink_status("pages/home.txt.new")));
  std::ifstream outside("outside.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(outside), {}), "untouched");
  EXPECT_FALSE(fs::exists("nowhere.txt"));
}

INSTANTIATE_TEST_SUITE_P(Table, NewFileName, testing::ValuesIn(kSquatters),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PageFiles, DirectoryAtPagePathIsNoPageAndCannotBeSavedOver) {
  fs::create_directory("pages/home.txt");
  std::string text = "kept";
  EXPECT_FALSE(loadPage("home", text));
  EXPECT_EQ(text, "kept");
  EXPECT_FALSE(savePage("home", "lost"));
  EXPECT_TRUE(fs::is_directory("pages/home.txt"));
  EXPECT_FALSE(exists("home.txt.new"));
  EXPECT_FALSE(exists("home.txt.old"));
}

// Not a page, yet a file: a save never replaces it.
TEST_F(PageFiles, PageFileThatCannotBeReadStaysAndTheSaveFails) {
  ASSERT_EQ(::mkfifo("pages/home.txt", 0600), 0);
  EXPECT_FALSE(savePage("home", "lost"));
  EXPECT_TRUE(fs::is_fifo("pages/home.txt"));
  EXPECT_FALSE(exists("home.txt.new"));
  EXPECT_FALSE(exists("home.txt.old"));
}

TEST_F(PageFiles, FailedRenameIntoPlaceRestoresTheOlderBackup) {
  // The page counts as new (a directory stands in its place), so the older
  // backup is what the failed save leaves; the directory itself stays.
  fs::create_directory("pages/home.txt");
  writeFile("home.txt.old", "ancient");
  EXPECT_FALSE(savePage("home", "lost"));
  EXPECT_EQ(readFile("home.txt.old"), "ancient");
  EXPECT_FALSE(exists("home.txt.new"));
}

TEST_F(PageFiles, UnrenamablePageFileFailsAndDeletesTheNewFile) {
  writeFile("home.txt", "page");
  fs::create_directory("pages/home.txt.old");  // the delete of a directory fails
  fs::create_directory("pages/home.txt.old/keep");
  EXPECT_FALSE(savePage("home", "lost"));
  EXPECT_EQ(readFile("home.txt"), "page");
  EXPECT_FALSE(exists("home.txt.new"));
}

std::size_t openDescriptorCount() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

// Opening anything but a regular file must neither block (a FIFO) nor read a
// device, and a refused file must not keep its descriptor.
TEST_F(PageFiles, OnlyARegularFileIsAPageAndARefusedOneKeepsNoDescriptor) {
  constexpr int kLoads = 50;
  fs::create_directory("pages/directory.txt");
  ASSERT_EQ(::mkfifo("pages/fifo.txt", 0600), 0);
  fs::create_symlink("/dev/null", "pages/device.txt");
  fs::create_symlink("directory.txt", "pages/linked.txt");
  const std::size_t before = openDescriptorCount();
  for (const char* name : {"directory", "fifo", "device", "linked"}) {
    for (int load = 0; load < kLoads; ++load) {
      std::string text = "kept";
      ASSERT_FALSE(loadPage(name, text)) << name;
      ASSERT_EQ(text, "kept") << name;
    }
  }
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST_F(PageFiles, LoadWhoseBufferCannotBeHadFailsAndKeepsNoDescriptor) {
  constexpr std::size_t kPageBytes = 1 << 20;
  writeFile("big.txt", std::string(kPageBytes, 'b'));
  const std::size_t before = openDescriptorCount();
  std::string text = "kept";
  failingAllocationSize = kPageBytes;
  EXPECT_FALSE(loadPage("big", text));
  failingAllocationSize = 0;
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST_F(PageFiles, MissingPagesDirectoryFailsWithoutCreatingAnything) {
  fs::remove_all("pages");
  std::string text;
  EXPECT_FALSE(loadPage("home", text));
  EXPECT_FALSE(savePage("home", "text"));
  EXPECT_FALSE(fs::exists("pages"));
}

}  // namespace
