// The platform layer on Linux (and other POSIX systems).
#include <arpa/inet.h>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr int kMicrosecondsPerMillisecond = 1000;
constexpr int kLingerSeconds = 1;
constexpr mode_t kNewFileMode = 0666;  // narrowed by the user's umask
constexpr mode_t kNewDirectoryMode = 0777;
// Host names are at most 255 bytes, as in DNS.
constexpr std::size_t kHostNameRoom = 255;

SocketHandle toHandle(int fd) {
  return fd < 0 ? kNoSocket : static_cast<SocketHandle>(fd);
}
int toDescriptor(SocketHandle socket) {
  return static_cast<int>(socket);
}

}  // namespace

bool startNetworking() {
  return true;
}
void stopNetworking() {}

SocketHandle openListeningSocket() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    return kNoSocket;
  }
  const linger lingerOption{1, kLingerSeconds};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerOption, sizeof lingerOption);
  // Lets a restart bind while the previous run's closed connections sit in
  // TIME_WAIT; Linux still refuses a second live listener on the port.
  const int reuse = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  return toHandle(fd);
}

bool bindAndListen(SocketHandle socket, std::int32_t port, int backlog) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const int fd = toDescriptor(socket);
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
         ::listen(fd, backlog) == 0;
}

WaitResult waitUntilReadable(SocketHandle socket, int timeoutMicroseconds) {
  // poll() rather than select(): no FD_SETSIZE ceiling on descriptor numbers.
  pollfd entry{toDescriptor(socket), POLLIN, 0};
  const int result = ::poll(&entry, 1, timeoutMicroseconds / kMicrosecondsPerMillisecond);
  if (result > 0) {
    return WaitResult::kReadable;
  }
  return result < 0 && errno == EINTR ? WaitResult::kInterruptedBySignal
                                      : WaitResult::kTimedOutOrFailed;
}

SocketHandle acceptConnection(SocketHandle listenSocket) {
  return toHandle(::accept(toDescriptor(listenSocket), nullptr, nullptr));
}

int receiveBytes(SocketHandle socket, char* buffer, int length) {
  return static_cast<int>(::recv(toDescriptor(socket), buffer, static_cast<size_t>(length), 0));
}

int sendBytes(SocketHandle socket, const char* bytes, int length) {
  // A peer that has gone away must fail the send, not raise SIGPIPE.
  return static_cast<int>(
      ::send(toDescriptor(socket), bytes, static_cast<size_t>(length), MSG_NOSIGNAL));
}

bool countWaitingBytes(SocketHandle socket, unsigned long& count) {
  int waiting = 0;
  if (::ioctl(toDescriptor(socket), FIONREAD, &waiting) != 0) {
    return false;
  }
  count = static_cast<unsigned long>(waiting);
  return true;
}

void shutdownAndClose(SocketHandle socket) {
  ::shutdown(toDescriptor(socket), SHUT_RDWR);
  ::close(toDescriptor(socket));
}

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

std::FILE* openFileForWriting(const char* path) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kNewFileMode);
  if (fd < 0) {
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    ::close(fd);
  }
  return file;
}

bool flushFileToDisk(std::FILE* file) {
  return std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
}

void deleteFile(const char* path) {
  ::unlink(path);
}

// For file systems that refuse RENAME_NOREPLACE: link() never replaces
// either. Not in platform.h; its own tests reach it by this name.
bool renameByLinking(const char* from, const char* to) {
  if (::link(from, to) != 0) {
    return false;
  }
  if (::unlink(from) != 0) {
    ::unlink(to);
    return false;
  }
  return true;
}

bool renameWithoutReplacing(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
    return true;
  }
  return (errno == EINVAL || errno == ENOSYS) && renameByLinking(from, to);
}

void syncDirectory(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

void keepFreedMemoryForReuse() {
#ifdef __GLIBC__
  // Each response allocates a few blocks of up to 1.3 MiB. By default glibc
  // maps and unmaps blocks that large, so every request paid fresh page faults
  // (a 640 KiB view took 1.4 ms instead of 0.6 ms). Kept in the heap, they are
  // reused; the resident size stays at one large request's peak (about 6 MiB).
  constexpr int kLargestMappedBlock = 4 << 20;
  constexpr int kKeptFreeMemory = 16 << 20;
  ::mallopt(M_MMAP_THRESHOLD, kLargestMappedBlock);
  ::mallopt(M_TRIM_THRESHOLD, kKeptFreeMemory);
#endif
}

void showStartupError(const char* text) {
  std::fputs("Error: ", stderr);
  std::fputs(text, stderr);
  std::fflush(stderr);
}

std::string machineHostName() {
  // POSIX allows a name cut to the buffer without a terminating zero.
  char name[kHostNameRoom + 1] = {};
  if (::gethostname(name, kHostNameRoom) != 0) {
    return {};
  }
  return name;
}

}  // namespace platform
