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

// The file's bytes up to the first zero byte, read straight into the text so
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
  if (!readExactly(file, text.data(), text.size())) {
    return false;
  }
  text.resize(std::min(text.find('\0'), text.size()));
  return true;
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
bool fileHoldsExactly(const std::string& path, const std::string& text) {
  const OwnedFile file(platform::openFileForReading(path.c_str()));
  if (file == nullptr) {
    return false;
  }
  bool same = platform::fileSize(file.get()) == static_cast<std::int64_t>(text.size());
  char piece[kComparePieceSize];
  for (std::size_t at = 0; same && at < text.size(); at += sizeof piece) {
    const std::size_t length = std::min(sizeof piece, text.size() - at);
    same = std::fread(piece, 1, length, file.get()) == length &&
           std::memcmp(piece, text.data() + at, length) == 0;
  }
  return same;
}

// The backup name already holds the page's text, and the page file keeps it
// until the new file takes that name in one step.
bool replacePageFile(const std::string& newPath, const std::string& backupPath,
                     const std::string& pagePath) {
  if (platform::renameReplacing(newPath.c_str(), pagePath.c_str())) {
    return true;
  }
  platform::deleteFile(backupPath.c_str());
  platform::deleteFile(newPath.c_str());
  return false;
}

// Never replaces: a page file that exists but cannot be read (the page counts
// as new) stays as it is, and the save fails.
bool moveNewFileIntoPlace(const std::string& newPath, const std::string& backupPath,
                          const std::string& pagePath) {
  if (platform::renameWithoutReplacing(newPath.c_str(), pagePath.c_str())) {
    return true;
  }
  platform::renameWithoutReplacing(backupPath.c_str(), pagePath.c_str());
  platform::deleteFile(newPath.c_str());
  return false;
}

// For file systems without hard links (FAT, exFAT, some shares and synced
// folders): between the two moves the page file is missing. A link refused
// for another reason (a backup that could not be deleted) makes the first
// move fail the same way, changing nothing.
bool replaceByTwoMoves(const std::string& newPath, const std::string& backupPath,
                       const std::string& pagePath) {
  if (!platform::renameWithoutReplacing(pagePath.c_str(), backupPath.c_str())) {
    platform::deleteFile(newPath.c_str());
    return false;
  }
  return moveNewFileIntoPlace(newPath, backupPath, pagePath);
}

}  // namespace

bool pageExists(const std::string& name) {
  return pageFileExists(pageFilePath(name, kPageSuffix));
}

bool loadPage(const std::string& name, std::string& text) {
  const std::string path = pageFilePath(name, kPageSuffix);
  const OwnedFile file(platform::openFileForReading(path.c_str()));
  if (file == nullptr) {
    return false;
  }
  std::string loaded;
  if (!readWholeFile(file.get(), loaded)) {
    return false;
  }
  text.swap(loaded);
  return true;
}

bool savePage(const std::string& name, const std::string& text) {
  const std::string newPath = pageFilePath(name, kNewSuffix);
  const std::string backupPath = pageFilePath(name, kBackupSuffix);
  const std::string pagePath = pageFilePath(name, kPageSuffix);

  // A reload of a "Page saved!" tab sends the same save again; rotating then
  // would replace the backup with the current text and lose the one before.
  if (fileHoldsExactly(pagePath, text)) {
    return true;
  }
  if (!writeNewFile(newPath, text)) {
    return false;
  }
  bool placed;
  if (pageFileExists(pagePath)) {
    platform::deleteFile(backupPath.c_str());
    placed = platform::addSecondName(pagePath.c_str(), backupPath.c_str())
                 ? replacePageFile(newPath, backupPath, pagePath)
                 : replaceByTwoMoves(newPath, backupPath, pagePath);
  } else {
    placed = moveNewFileIntoPlace(newPath, backupPath, pagePath);
  }
  if (placed) {
    platform::syncDirectory(kPagesDirectory);
  }
  return placed;
}
