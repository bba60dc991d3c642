// Page files on Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "platform/platform.h"
#include "platform/posix/testing.h"

// A 32-bit build without -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 (a
// CMAKE_CXX_FLAGS of one's own replaces the toolchain file's) would fail on
// pages past 2 GiB and on dates past 2038; it must not build at all.
static_assert(sizeof(off_t) == 8, "32-bit builds need -D_FILE_OFFSET_BITS=64");
static_assert(sizeof(std::time_t) == 8, "32-bit builds need -D_TIME_BITS=64");

namespace platform {
namespace {

constexpr mode_t kNewFileMode = 0666;  // narrowed by the user's umask
constexpr mode_t kNewDirectoryMode = 0777;

}  // namespace

void makeDirectory(const char* path) {
  ::mkdir(path, kNewDirectoryMode);
}

std::FILE* openFileForReading(const char* path) {
  // fopen() would open a directory (or block on a FIFO); only a regular file
  // counts as a page, as on Windows.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
  }
  return file;
}

std::FILE* createNewFile(const char* path) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
  if (fd < 0) {
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    ::close(fd);
  }
  return file;
}

std::int64_t fileSize(std::FILE* file) {
  if (::fseeko(file, 0, SEEK_END) != 0) {
    return -1;
  }
  const off_t size = ::ftello(file);
  if (size < 0 || ::fseeko(file, 0, SEEK_SET) != 0) {
    return -1;
  }
  return static_cast<std::int64_t>(size);
}

bool flushFileToDisk(std::FILE* file) {
  return std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
}

void deleteFile(const char* path) {
  ::unlink(path);
}

namespace {

// EINVAL: the file system has no RENAME_NOREPLACE (every FUSE one tried,
// even with hard links); ENOSYS: the kernel has none.
bool lacksNoReplaceRename(int error) {
  return error == EINVAL || error == ENOSYS;
}

// exFAT and FAT through FUSE refuse a link with EPERM, rclone's mounts with
// EIO. A volume that truly failed fails the rename that follows as well, so
// taking EIO for a missing feature hides no failure.
bool lacksHardLinks(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EIO;
}

// Once `to` names the file too.
bool dropFirstName(const char* from, const char* to) {
  if (::unlink(from) == 0) {
    return true;
  }
  ::unlink(to);
  return false;
}

}  // namespace

// link() never replaces either. Declared in testing.h, for its own tests.
bool renameByLinking(const char* from, const char* to) {
  return ::link(from, to) == 0 && dropFirstName(from, to);
}

// A file that another program puts at `to` between the look and the rename
// is replaced. Declared in testing.h, for its own tests.
bool renameIfNameIsFree(const char* from, const char* to) {
  struct stat status;
  return ::lstat(to, &status) != 0 && errno == ENOENT && ::rename(from, to) == 0;
}

bool renameWithoutReplacing(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (!lacksNoReplaceRename(errno)) {
    return false;
  }
  if (::link(from, to) == 0) {
    return dropFirstName(from, to);
  }
  return lacksHardLinks(errno) && renameIfNameIsFree(from, to);
}

bool addSecondName(const char* existing, const char* name) {
  return ::link(existing, name) == 0;
}

bool renameReplacing(const char* from, const char* to) {
  return ::rename(from, to) == 0;
}

namespace {

// EINVAL: the file system offers no sync of a directory (some FUSE ones and
// network shares say so); ENOTSUP and ENOSYS: the same from older kernels
// and drivers. An error that the disk reports (EIO, ENOSPC) means the rename
// may not survive.
bool cannotSyncDirectories(int error) {
  return error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS;
}

}  // namespace

bool syncDirectory(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A folder that may be written but not read cannot be opened for the sync.
  if (fd < 0) {
    return errno == EACCES;
  }
  const bool synced = ::fsync(fd) == 0 || cannotSyncDirectories(errno);
  ::close(fd);
  return synced;
}

}  // namespace platform
