#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"
#include "store/page_store.h"

namespace {

constexpr char kPageSuffix[] = ".txt";
constexpr char kNewSuffix[] = ".txt.new";
constexpr char kBackupSuffix[] = ".txt.old";
constexpr char kHeldSuffix[] = ".txt.tmp";
constexpr std::size_t kComparePieceSize = 16384;
// Some C libraries count the bytes of one read in an int.
constexpr std::size_t kLargestRead = INT_MAX;

// Closes the file on every path, a thrown std::bad_alloc included.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using OwnedFile = std::unique_ptr<std::FILE, FileCloser>;

std::string pageFilePath(const std::string& name, const char* suffix) {
  return std::string(kPagesDirectory) + "/" + name + suffix;
}

bool readExactly(std::FILE* file, char* bytes, std::size_t count) {
  while (count > 0) {
    const std::size_t piece = std::min(count, kLargestRead);
    if (std::fread(bytes, 1, piece, file) != piece) {
      return false;
    }
    bytes += piece;
    count -= piece;
  }
  return true;
}

// Every byte of the file, zero bytes included, read straight into the text so
// that a page is held in memory once.
bool readWholeFile(std::FILE* file, std::string& text) {
  const std::int64_t size = platform::fileSize(file);
  if (size < 0 || static_cast<std::uint64_t>(size) >= text.max_size()) {
    return false;
  }
  // std::string tells of memory that cannot be had only by throwing, which
  // would fail the whole request; a page too large for memory loads as
  // missing. (A trial allocation first is no test: compilers drop one that
  // is freed unused.)
  try {
    text.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return readExactly(file, text.data(), text.size());
}

bool readFileAt(const std::string& path, std::string& text) {
  const OwnedFile file(platform::openFileForReading(path.c_str()));
  return file != nullptr && readWholeFile(file.get(), text);
}

// The new file counts as written only when every byte reached the disk: a
// failed flush, sync or close is a short write, so a torn file never takes
// the page file's place. Whatever stood at its name goes first (a file left
// by an earlier save, or a link or FIFO that another program put there), so
// the text lands in a fresh regular file.
bool writeNewFile(const std::string& path, const std::string& text) {
  platform::deleteFile(path.c_str());
  OwnedFile file(platform::createNewFile(path.c_str()));
  if (file == nullptr) {
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  const bool onDisk = platform::flushFileToDisk(file.get());
  const bool closed = std::fclose(file.release()) == 0;
  return written && onDisk && closed;
}

bool pageFileExists(const std::string& path) {
  return OwnedFile(platform::openFileForReading(path.c_str())) != nullptr;
}

// Compared in pieces, so a large page needs no second copy in memory.
bool streamHoldsExactly(std::FILE* file, const std::string& text) {
  bool same = platform::fileSize(file) == static_cast<std::int64_t>(text.size());
  char piece[kComparePieceSize];
  for (std::size_t at = 0; same && at < text.size(); at += sizeof piece) {
    const std::size_t length = std::min(sizeof piece, text.size() - at);
    same = std::fread(piece, 1, length, file) == length &&
           std::memcmp(piece, text.data() + at, length) == 0;
  }
  return same;
}

// The file is opened once, so that one that another program holds open costs
// one wait for it.
bool fileHoldsExactly(const std::string& path, const std::string& text, bool& found) {
  const OwnedFile file(platform::openFileForReading(path.c_str()));
  found = file != nullptr;
  return found && streamHoldsExactly(file.get(), text);
}

struct SavePaths {
  std::string page;
  // Bytes being written, trusted by nothing until a move gives them a role.
  std::string newFile;
  std::string backup;
  // The page's text while a save replaces it, until it becomes the backup.
  // It is no page's file, since page names have no dots.
  std::string held;
};

SavePaths savePathsOf(const std::string& name) {
  return {pageFilePath(name, kPageSuffix), pageFilePath(name, kNewSuffix),
          pageFilePath(name, kBackupSuffix), pageFilePath(name, kHeldSuffix)};
}

// A save takes the held name only after the page held nothing else (the
// savePage() test of the same text), so a held text that the page still
// holds was cut off before the page changed and is dropped; one that the
// page no longer holds is the text before the page's current one, and the
// backup still holds the one before that, so it becomes the backup. Without
// a readable page there is nothing to tell by, and it waits.
bool recoverHeldText(const SavePaths& paths) {
  std::string held;
  if (!readFileAt(paths.held, held)) {
    return true;
  }
  bool pageFound;
  if (fileHoldsExactly(paths.page, held, pageFound)) {
    platform::deleteFile(paths.held.c_str());
    return true;
  }
  return !pageFound || platform::renameReplacing(paths.held.c_str(), paths.backup.c_str());
}

// Never replaces: a page file that exists but cannot be read (the page counts
// as new) stays as it is, and the save fails.
bool moveNewFileIntoPlace(const SavePaths& paths) {
  if (platform::renameWithoutReplacing(paths.newFile.c_str(), paths.page.c_str())) {
    return true;
  }
  platform::deleteFile(paths.newFile.c_str());
  return false;
}

// A second name of the page file, or where the link is refused (no hard
// links on the file system, or the kernel's protected links for a page of
// another user) a copy. The copy is written as the new file and only then
// moved to the held name, so a cut-off copy is never taken for the text.
bool holdPagesText(const SavePaths& paths) {
  if (platform::addSecondName(paths.page.c_str(), paths.held.c_str())) {
    return true;
  }
  std::string text;
  if (!readFileAt(paths.page, text) || !writeNewFile(paths.newFile, text)) {
    return false;
  }
  if (platform::renameWithoutReplacing(paths.newFile.c_str(), paths.held.c_str())) {
    return true;
  }
  platform::deleteFile(paths.newFile.c_str());
  return false;
}

// The page file keeps its text until the new file takes its name in one
// step, and the backup keeps its own until the held text replaces it in one
// step; a failure of that last step puts the old text back, so a failed save
// changes neither, and the page file is never missing.
bool replaceHoldingTheText(const SavePaths& paths, const std::string& text) {
  if (!writeNewFile(paths.newFile, text)) {
    platform::deleteFile(paths.held.c_str());
    return false;
  }
  if (!platform::renameReplacing(paths.newFile.c_str(), paths.page.c_str())) {
    platform::deleteFile(paths.held.c_str());
    platform::deleteFile(paths.newFile.c_str());
    return false;
  }
  if (platform::renameReplacing(paths.held.c_str(), paths.backup.c_str())) {
    return true;
  }
  platform::renameReplacing(paths.held.c_str(), paths.page.c_str());
  return false;
}

}  // namespace

bool pageExists(const std::string& name) {
  return pageFileExists(pageFilePath(name, kPageSuffix));
}

bool loadPage(const std::string& name, std::string& text) {
  std::string loaded;
  if (!readFileAt(pageFilePath(name, kPageSuffix), loaded)) {
    return false;
  }
  loaded.resize(std::min(loaded.find('\0'), loaded.size()));
  text.swap(loaded);
  return true;
}

bool savePage(const std::string& name, const std::string& text) {
  const SavePaths paths = savePathsOf(name);
  // Put right first what a cut-off save left, so that a save that then fails
  // leaves a backup that holds the text before the page's.
  if (!recoverHeldText(paths)) {
    return false;
  }
  // A reload of a "Page saved!" tab sends the same save again; rotating then
  // would replace the backup with the current text and lose the one before.
  bool pageFound;
  if (fileHoldsExactly(paths.page, text, pageFound)) {
    return true;
  }
  const bool placed = pageFound ? holdPagesText(paths) && replaceHoldingTheText(paths, text)
                                : writeNewFile(paths.newFile, text) && moveNewFileIntoPlace(paths);
  return placed && platform::syncDirectory(kPagesDirectory);
}
