// The platform layer on Windows: Winsock 2 and the Win32 file calls.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr int kMicrosecondsPerSecond = 1000000;
constexpr DWORD kMillisecondsPerSecond = 1000;
// SO_SNDTIMEO bounds a whole blocking send, and Windows holds one until all
// its bytes are taken, so a large send to a slow but moving client would time
// out. In pieces this size, only a client that takes less than a piece in the
// whole stall limit is cut off.
constexpr int kSendPieceBytes = 64 * 1024;
constexpr u_short kLingerSeconds = 1;
constexpr WORD kWinsockVersion = MAKEWORD(2, 0);
// Host names are at most 255 bytes, as in DNS.
constexpr std::size_t kHostNameRoom = 255;

SocketHandle toHandle(SOCKET socket) {
  return socket == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(socket);
}
SOCKET toSocket(SocketHandle socket) {
  return static_cast<SOCKET>(socket);
}

char lowerCase(char byte) {
  return byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte;
}

bool stemIs(const char* stem, std::size_t length, const char* device) {
  if (std::strlen(device) != length) {
    return false;
  }
  for (std::size_t i = 0; i < length; ++i) {
    if (lowerCase(stem[i]) != device[i]) {
      return false;
    }
  }
  return true;
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
  if (length == 4 && (stemIs(name, 3, "com") || stemIs(name, 3, "lpt")) && name[3] >= '0' &&
      name[3] <= '9') {
    return true;
  }
  return false;
}

template <typename Policy>
void setMitigation(PROCESS_MITIGATION_POLICY kind, Policy policy) {
  // Each policy is one DWORD of flags; mingw-w64 declares the dynamic-code
  // one wider, a size that Windows refuses. A policy this Windows refuses (or
  // Wine ignores) is skipped: the rest still hold.
  DWORD flags = policy.Flags;
  SetProcessMitigationPolicy(kind, &flags, sizeof flags);
}

}  // namespace

bool startNetworking() {
  WSADATA data;
  return WSAStartup(kWinsockVersion, &data) == 0;
}

void stopNetworking() {
  WSACleanup();
}

SocketHandle openListeningSocket() {
  const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, 0);
  if (socket == INVALID_SOCKET) {
    return kNoSocket;
  }
  const linger lingerOption{1, kLingerSeconds};
  ::setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lingerOption),
               sizeof lingerOption);
  // Windows otherwise lets another process bind the same port beside ours and
  // take its connections (and SO_REUSEADDR would invite exactly that).
  const BOOL exclusive = TRUE;
  ::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
  return toHandle(socket);
}

bool bindAndListen(SocketHandle socket, std::int32_t port, int backlog) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<u_short>(port));
  return ::bind(toSocket(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
             0 &&
         ::listen(toSocket(socket), backlog) == 0;
}

WaitResult waitUntilReadable(SocketHandle socket, int timeoutMicroseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(toSocket(socket), &readable);
  timeval timeout{timeoutMicroseconds / kMicrosecondsPerSecond,
                  timeoutMicroseconds % kMicrosecondsPerSecond};
  return ::select(0, &readable, nullptr, nullptr, &timeout) > 0 ? WaitResult::kReadable
                                                                : WaitResult::kTimedOutOrFailed;
}

SocketHandle acceptConnection(SocketHandle listenSocket) {
  return toHandle(::accept(toSocket(listenSocket), nullptr, nullptr));
}

int receiveBytes(SocketHandle socket, char* buffer, int length) {
  return ::recv(toSocket(socket), buffer, length, 0);
}

void limitSendStall(SocketHandle socket, int seconds) {
  const DWORD limit = static_cast<DWORD>(seconds) * kMillisecondsPerSecond;
  ::setsockopt(toSocket(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit),
               sizeof limit);
}

int sendBytes(SocketHandle socket, const char* bytes, int length) {
  return ::send(toSocket(socket), bytes, std::min(length, kSendPieceBytes), 0);
}

int sendRuns(SocketHandle socket, const ByteRun* runs, int count) {
  // In pieces of at most kSendPieceBytes, as sendBytes sends.
  WSABUF buffers[kMostRunsPerSend];
  DWORD room = kSendPieceBytes;
  DWORD used = 0;
  for (int i = 0; i < count && room > 0; ++i) {
    const DWORD length = static_cast<DWORD>(std::min<std::size_t>(runs[i].length, room));
    buffers[used].len = length;
    buffers[used].buf = const_cast<CHAR*>(runs[i].bytes);
    room -= length;
    ++used;
  }
  DWORD sent = 0;
  if (::WSASend(toSocket(socket), buffers, used, &sent, 0, nullptr, nullptr) != 0) {
    return -1;
  }
  return static_cast<int>(sent);
}

bool countWaitingBytes(SocketHandle socket, unsigned long& count) {
  u_long waiting = 0;
  if (::ioctlsocket(toSocket(socket), FIONREAD, &waiting) != 0) {
    return false;
  }
  count = waiting;
  return true;
}

void shutdownAndClose(SocketHandle socket) {
  ::shutdown(toSocket(socket), SD_BOTH);
  ::closesocket(toSocket(socket));
}

// Windows does not interrupt a blocking call for a signal; the send-stall
// limit alone bounds how long a stop waits for a stuck connection.
void installTerminationHandler(TerminationHandler handler) {
  std::signal(SIGTERM, handler);
}

void makeDirectory(const char* path) {
  CreateDirectoryA(path, nullptr);
}

std::FILE* openFileForReading(const char* path) {
  return namesDevice(path) ? nullptr : std::fopen(path, "rb");
}

std::FILE* createNewFile(const char* path) {
  if (namesDevice(path)) {
    return nullptr;
  }
  // CREATE_NEW fails on anything that stands at the path, a link included.
  const HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) {
    _close(fd);
  }
  return file;
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
    DeleteFileA(path);
  }
}

bool renameWithoutReplacing(const char* from, const char* to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails, changing nothing, when
  // the target exists; write-through has it on disk before a save reports
  // success, as the directory sync does elsewhere.
  return !namesDevice(from) && !namesDevice(to) &&
         MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) != 0;
}

bool addSecondName(const char* existing, const char* name) {
  return !namesDevice(existing) && !namesDevice(name) &&
         CreateHardLinkA(name, existing, nullptr) != 0;
}

// Not ReplaceFileA: given a backup name, it moves the page aside and the new
// file into place as two steps, and a failure between them
// (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) leaves the page only under the backup
// name; nor can it write through. A replacing MoveFileExA swaps the name in
// one step on NTFS and is an ordinary rename to a sync client in a cloud
// folder; where that folder or a FAT drive refuses the hard link before it,
// the save takes two moves instead.
bool renameReplacing(const char* from, const char* to) {
  return !namesDevice(from) && !namesDevice(to) &&
         MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// Each move is written through (above); there is no directory handle to sync.
void syncDirectory(const char*) {}

// Windows lets a running process restrict itself only by these policies, so
// the file rule does not hold here.
bool confineToPagesFolder(const char*) {
  PROCESS_MITIGATION_CHILD_PROCESS_POLICY noChildren{};
  noChildren.NoChildProcessCreation = 1;
  setMitigation(ProcessChildProcessPolicy, noChildren);
  PROCESS_MITIGATION_DYNAMIC_CODE_POLICY noDynamicCode{};
  noDynamicCode.ProhibitDynamicCode = 1;
  setMitigation(ProcessDynamicCodePolicy, noDynamicCode);
  PROCESS_MITIGATION_IMAGE_LOAD_POLICY localImages{};
  localImages.NoRemoteImages = 1;
  localImages.NoLowMandatoryLabelImages = 1;
  setMitigation(ProcessImageLoadPolicy, localImages);
  PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY noExtensionPoints{};
  noExtensionPoints.DisableExtensionPoints = 1;
  setMitigation(ProcessExtensionPointDisablePolicy, noExtensionPoints);
  PROCESS_MITIGATION_STRICT_HANDLE_CHECK_POLICY strictHandles{};
  strictHandles.RaiseExceptionOnInvalidHandleReference = 1;
  strictHandles.HandleExceptionsPermanentlyEnabled = 1;
  setMitigation(ProcessStrictHandleCheckPolicy, strictHandles);
  return false;
}

// The Windows heap keeps freed blocks of this size for reuse by itself.
void keepFreedMemoryForReuse() {}

void showStartupError(const char* text) {
  MessageBoxA(nullptr, text, "Error", MB_ICONERROR);
}

std::string machineHostName() {
  // The DNS name with its domain; the short name is a single label, which the
  // wiki accepts anyway.
  char name[kHostNameRoom + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameExA(ComputerNameDnsFullyQualified, name, &size)) {
    return {};
  }
  return std::string(name, size);
}

void readResolverSearchDomains() {}

const std::vector<std::string>& resolverSearchDomains() {
  static const std::vector<std::string> none;
  return none;
}

}  // namespace platform
