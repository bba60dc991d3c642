// Sockets on Windows: Winsock 2.
#include "platform/win32/lean_windows.h"

#include <winsock2.h>

#include <algorithm>
#include <cstring>

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

SocketHandle toHandle(SOCKET socket) {
  return socket == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(socket);
}
SOCKET toSocket(SocketHandle socket) {
  return static_cast<SOCKET>(socket);
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

int sendRuns(SocketHandle socket, const ByteRun* runs, int count) {
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

}  // namespace platform
