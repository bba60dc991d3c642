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

struct SavePaths {
  std::string page;
  std::string newFile;
  std::string backup;
  // Holds the page's old text, or the older backup, until the save is
  // certain. It is no page's file, since page names have no dots.
  std::string held;
};

SavePaths savePathsOf(const std::string& name) {
  return {pageFilePath(name, kPageSuffix), pageFilePath(name, kNewSuffix),
          pageFilePath(name, kBackupSuffix), pageFilePath(name, kHeldSuffix)};
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

// The held name is a second name of the page file. The page file keeps its
// text until the new file takes its name in one step, and the backup keeps
// its own until the held name replaces it in one step; a failure of that last
// step puts the old text back, so a failed save changes neither.
bool replaceKeepingALink(const SavePaths& paths) {
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

// For file systems without hard links (FAT, exFAT, some shares and synced
// folders): the older backup is held aside, the page file moves to the backup
// name, and the new file to the page name; each failure moves back what has
// moved. Between the last two moves the page file is missing, and a crash
// there leaves its text as the backup.
bool replaceByTwoMoves(const SavePaths& paths) {
  const bool hadBackup = pageFileExists(paths.backup);
  if (hadBackup && !platform::renameReplacing(paths.backup.c_str(), paths.held.c_str())) {
    platform::deleteFile(paths.newFile.c_str());
    return false;
  }
  const bool pageMoved = platform::renameWithoutReplacing(paths.page.c_str(), paths.backup.c_str());
  if (pageMoved && platform::renameWithoutReplacing(paths.newFile.c_str(), paths.page.c_str())) {
    if (hadBackup) {
      platform::deleteFile(paths.held.c_str());
    }
    return true;
  }
  // While the page's text lies under the backup name, the older one stays
  // held rather than take its place.
  const bool pageBack =
      !pageMoved || platform::renameWithoutReplacing(paths.backup.c_str(), paths.page.c_str());
  if (hadBackup && pageBack) {
    platform::renameReplacing(paths.held.c_str(), paths.backup.c_str());
  }
  platform::deleteFile(paths.newFile.c_str());
  return false;
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
  const SavePaths paths = savePathsOf(name);

  // A reload of a "Page saved!" tab sends the same save again; rotating then
  // would replace the backup with the current text and lose the one before.
  if (fileHoldsExactly(paths.page, text)) {
    return true;
  }
  // Left by a save that was cut off; the page file or the backup holds a
  // newer text.
  platform::deleteFile(paths.held.c_str());
  if (!writeNewFile(paths.newFile, text)) {
    return false;
  }
  bool placed;
  if (!pageFileExists(paths.page)) {
    placed = moveNewFileIntoPlace(paths);
  } else if (platform::addSecondName(paths.page.c_str(), paths.held.c_str())) {
    placed = replaceKeepingALink(paths);
  } else {
    placed = replaceByTwoMoves(paths);
  }
  if (placed) {
    platform::syncDirectory(kPagesDirectory);
  }
  return placed;
}
