// Page files on Windows: the Win32 file calls, none of them on a device name.
#include "platform/win32/lean_windows.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/ascii.h"
#include "platform/platform.h"

namespace platform {
namespace {

bool stemIs(const char* stem, std::size_t length, const char* device) {
  return equalIgnoringCase(std::string_view(stem, length), device);
}

// "pages/con.txt" names the console, not a file: a page whose name is a DOS
// device name (before the first dot, any case) must never be opened, deleted
// or renamed, or the server could hang on a device or write to it.
bool namesDevice(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') {
      name = p + 1;
    }
  }
  const char* dot = std::strchr(name, '.');
  const std::size_t length =
      dot == nullptr ? std::strlen(name) : static_cast<std::size_t>(dot - name);
  for (const char* device : {"con", "prn", "aux", "nul", "conin$", "conout$"}) {
    if (stemIs(name, length, device)) {
      return true;
    }
  }
  if (length == 4 && (stemIs(name, 3, "com") || stemIs(name, 3, "lpt")) && isDigit(name[3])) {
    return true;
  }
  return false;
}

}  // namespace

void makeDirectory(const char* path) {
  CreateDirectoryA(path, nullptr);
}

namespace {

// A sync client, an indexer or a virus scanner holds a file open without
// sharing for a moment after it changes. A call that meets such a hold tries
// again in short steps, for about 2 s in all, so that an answer waits that
// long at most for each file it needs.
constexpr DWORD kRetryStepMilliseconds = 50;
constexpr ULONGLONG kRetryLimitMilliseconds = 2000;

bool isFile(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool isDirectory(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Access is denied, too, to a file that is held while it is replaced or
// waits to be deleted; to a folder, or where nothing stands, it is final.
bool heldByAnotherProgram(DWORD error, const char* path, const char* target) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
    return true;
  }
  return error == ERROR_ACCESS_DENIED && isFile(path) &&
         (target == nullptr || !isDirectory(target));
}

// `call` gives true on success and leaves GetLastError() set on failure.
template <typename Call>
bool retryWhileHeld(const char* path, const char* target, Call call) {
  const ULONGLONG start = GetTickCount64();
  while (!call()) {
    if (!heldByAnotherProgram(GetLastError(), path, target) ||
        GetTickCount64() - start >= kRetryLimitMilliseconds) {
      return false;
    }
    Sleep(kRetryStepMilliseconds);
  }
  return true;
}

HANDLE openRetryingWhileHeld(const char* path, DWORD access, DWORD disposition) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  retryWhileHeld(path, nullptr, [&] {
    handle = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle != INVALID_HANDLE_VALUE;
  });
  return handle;
}

// Takes the handle over; closes it when no stream can be made of it.
std::FILE* streamOf(HANDLE handle, int flags, const char* mode) {
  if (handle == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, mode);
  if (file == nullptr) {
    _close(fd);
  }
  return file;
}

bool moveRetryingWhileHeld(const char* from, const char* to, DWORD flags) {
  return !namesDevice(from) && !namesDevice(to) &&
         retryWhileHeld(from, to, [&] { return MoveFileExA(from, to, flags) != 0; });
}

}  // namespace

// A folder opens to nothing here (CreateFileA wants backup semantics for
// one), as fopen() refuses it.
std::FILE* openFileForReading(const char* path) {
  return namesDevice(path)
             ? nullptr
             : streamOf(openRetryingWhileHeld(path, GENERIC_READ, OPEN_EXISTING), _O_RDONLY, "rb");
}

std::FILE* createNewFile(const char* path) {
  // CREATE_NEW fails on anything that stands at the path, a link included.
  return namesDevice(path)
             ? nullptr
             : streamOf(openRetryingWhileHeld(path, GENERIC_WRITE, CREATE_NEW), _O_WRONLY, "wb");
}

// ftell's long has 32 bits on Windows, too few for pages of 2 GiB or more.
std::int64_t fileSize(std::FILE* file) {
  if (_fseeki64(file, 0, SEEK_END) != 0) {
    return -1;
  }
  const __int64 size = _ftelli64(file);
  if (size < 0 || _fseeki64(file, 0, SEEK_SET) != 0) {
    return -1;
  }
  return size;
}

bool flushFileToDisk(std::FILE* file) {
  return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

void deleteFile(const char* path) {
  if (!namesDevice(path)) {
    retryWhileHeld(path, nullptr, [&] { return DeleteFileA(path) != 0; });
  }
}

bool renameWithoutReplacing(const char* from, const char* to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails, changing nothing, when
  // the target exists; write-through has it on disk before a save reports
  // success, as the directory sync does elsewhere.
  return moveRetryingWhileHeld(from, to, MOVEFILE_WRITE_THROUGH);
}

bool addSecondName(const char* existing, const char* name) {
  return !namesDevice(existing) && !namesDevice(name) && retryWhileHeld(existing, name, [&] {
    return CreateHardLinkA(name, existing, nullptr) != 0;
  });
}

// Not ReplaceFileA: given a backup name, it moves the page aside and the new
// file into place as two steps, and a failure between them
// (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) leaves the page only under the backup
// name; nor can it write through. A replacing MoveFileExA swaps the name in
// one step on NTFS and is an ordinary rename to a sync client in a cloud
// folder; where that folder or a FAT drive refuses the hard link before it,
// the save holds a copy instead.
bool renameReplacing(const char* from, const char* to) {
  return moveRetryingWhileHeld(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

// Each move is written through (above); there is no directory handle to sync.
bool syncDirectory(const char*) {
  return true;
}

}  // namespace platform
