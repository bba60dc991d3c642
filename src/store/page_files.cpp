#include <algorithm>
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

std::string pageFilePath(const std::string& name, const char* suffix) {
  return std::string(kPagesDirectory) + "/" + name + suffix;
}

// The size by seeking, or -1 when it cannot be told.
long fileSize(std::FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) {
    return -1;
  }
  const long size = std::ftell(file);
  if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
    return -1;
  }
  return size;
}

// The new file counts as written only when every byte reached the disk: a
// failed flush, sync or close is a short write, so a torn file never takes
// the page file's place. Whatever stood at its name goes first (a file left
// by an earlier save, or a link or FIFO that another program put there), so
// the text lands in a fresh regular file.
bool writeNewFile(const std::string& path, const std::string& text) {
  platform::deleteFile(path.c_str());
  std::FILE* file = platform::createNewFile(path.c_str());
  if (file == nullptr) {
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool onDisk = platform::flushFileToDisk(file);
  const bool closed = std::fclose(file) == 0;
  return written && onDisk && closed;
}

bool pageFileExists(const std::string& path) {
  std::FILE* file = platform::openFileForReading(path.c_str());
  if (file == nullptr) {
    return false;
  }
  std::fclose(file);
  return true;
}

// Compared in pieces, so a large page needs no second copy in memory.
bool fileHoldsExactly(const std::string& path, const std::string& text) {
  std::FILE* file = platform::openFileForReading(path.c_str());
  if (file == nullptr) {
    return false;
  }
  bool same = fileSize(file) == static_cast<long>(text.size());
  char piece[kComparePieceSize];
  for (std::size_t at = 0; same && at < text.size(); at += sizeof piece) {
    const std::size_t length = std::min(sizeof piece, text.size() - at);
    same = std::fread(piece, 1, length, file) == length &&
           std::memcmp(piece, text.data() + at, length) == 0;
  }
  std::fclose(file);
  return same;
}

}  // namespace

bool pageExists(const std::string& name) {
  return pageFileExists(pageFilePath(name, kPageSuffix));
}

bool loadPage(const std::string& name, std::string& text) {
  const std::string path = pageFilePath(name, kPageSuffix);
  std::FILE* file = platform::openFileForReading(path.c_str());
  if (file == nullptr) {
    return false;
  }
  const long size = fileSize(file);
  const std::unique_ptr<char[]> buffer(size < 0 ? nullptr : new (std::nothrow) char[size + 1]);
  if (!buffer) {
    std::fclose(file);
    return false;
  }
  const std::size_t read = std::fread(buffer.get(), 1, static_cast<std::size_t>(size), file);
  std::fclose(file);
  if (read != static_cast<std::size_t>(size)) {
    return false;
  }
  buffer[size] = '\0';
  text.assign(buffer.get());  // up to the first zero byte
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
  if (pageFileExists(pagePath)) {
    platform::deleteFile(backupPath.c_str());
    if (!platform::renameWithoutReplacing(pagePath.c_str(), backupPath.c_str())) {
      platform::deleteFile(newPath.c_str());
      return false;
    }
  }
  if (platform::renameWithoutReplacing(newPath.c_str(), pagePath.c_str())) {
    platform::syncDirectory(kPagesDirectory);
    return true;
  }
  platform::renameWithoutReplacing(backupPath.c_str(), pagePath.c_str());
  platform::deleteFile(newPath.c_str());
  return false;
}
