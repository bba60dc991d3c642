// Sockets on Linux.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr int kMicrosecondsPerMillisecond = 1000;
constexpr int kMillisecondsPerSecond = 1000;
constexpr int kPollForever = -1;
// MSG_NOSIGNAL: a peer that has gone away must fail the send, not raise
// SIGPIPE. MSG_DONTWAIT: see sendRuns.
constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
constexpr int kLingerSeconds = 1;

SocketHandle toHandle(int fd) {
  return fd < 0 ? kNoSocket : static_cast<SocketHandle>(fd);
}
int toDescriptor(SocketHandle socket) {
  return static_cast<int>(socket);
}

// The connection's SO_SNDTIMEO, or kPollForever when it has none.
int sendStallMilliseconds(int fd) {
  timeval limit{};
  socklen_t size = sizeof limit;
  if (::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, &size) != 0 ||
      (limit.tv_sec == 0 && limit.tv_usec == 0)) {
    return kPollForever;
  }
  return static_cast<int>(limit.tv_sec) * kMillisecondsPerSecond +
         static_cast<int>(limit.tv_usec) / kMicrosecondsPerMillisecond;
}

int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until the connection has room for more bytes (or has failed), at
// most until the deadline; SIGTERM does not shorten the wait.
bool waitForRoom(int fd, int limit, std::chrono::steady_clock::time_point deadline) {
  while (true) {
    const int wait = limit == kPollForever ? limit : millisecondsUntil(deadline);
    if (wait == 0) {
      return false;
    }
    pollfd entry{fd, POLLOUT, 0};
    const int result = ::poll(&entry, 1, wait);
    if (result >= 0 || errno != EINTR) {
      return result > 0;
    }
  }
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

void limitSendStall(SocketHandle socket, int seconds) {
  const timeval limit{seconds, 0};
  ::setsockopt(toDescriptor(socket), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

int sendRuns(SocketHandle socket, const ByteRun* runs, int count) {
  // Linux counts SO_SNDTIMEO over a whole blocking send: one that took some
  // bytes and then waited for room returned only at the limit, and the next
  // waited as long again, so a peer that stopped reading held the server for
  // 30 s instead of 10. Taking only what fits, and bounding the wait for room
  // by the limit, counts it from the last byte taken.
  const int fd = toDescriptor(socket);
  iovec vectors[kMostRunsPerSend];
  for (int i = 0; i < count; ++i) {
    vectors[i].iov_base = const_cast<char*>(runs[i].bytes);
    vectors[i].iov_len = runs[i].length;
  }
  msghdr message{};
  message.msg_iov = vectors;
  message.msg_iovlen = static_cast<std::size_t>(count);
  const int limit = sendStallMilliseconds(fd);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
  while (true) {
    const ssize_t sent = ::sendmsg(fd, &message, kSendFlags);
    // Room that poll reported can be gone by the send (memory pressure):
    // that is no failure, only more waiting, within the same limit.
    if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK) ||
        !waitForRoom(fd, limit, deadline)) {
      return static_cast<int>(sent);
    }
  }
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

}  // namespace platform
