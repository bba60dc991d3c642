#include "server/http_server.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <new>

#include "store/page_store.h"

std::atomic<bool> serverRunning{true};

namespace {

constexpr char kStatusLine[] = "HTTP/1.0 200 OK\r\n";
constexpr char kMethod[] = "GET ";
constexpr int kMethodLength = sizeof kMethod - 1;
constexpr char kAbsoluteFormStart[] = "http";
constexpr int kAbsoluteFormStartLength = sizeof kAbsoluteFormStart - 1;
constexpr int kBacklog = 5;
constexpr int kAcceptWaitMicroseconds = 1000000;
using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kSilence{200};
// A request still arriving after this long is taken as it stands, as if it
// had filled the buffer: a client that sends a byte now and then cannot hold
// the server.
constexpr std::chrono::seconds kRequestTimeLimit{30};
// A client that takes no byte of a reply for this long loses its connection.
constexpr int kSendStallSeconds = 10;
// After a stop, the request being read may take at most this long more, so a
// trickling client delays the exit no longer than a stalled one.
constexpr std::chrono::seconds kReadTimeAfterStop{kSendStallSeconds};

constexpr char kInitializeFailed[] = "Failed to initialize";
constexpr char kListenFailed[] = "Failed to start listening for connections\n";

// Allocated once for the whole run; the spare byte takes the target's zero
// after a full buffer.
char requestBuffer[kRequestBufferSize + 1];
char discardBuffer[kDiscardBufferSize];

extern "C" void onTerminationSignal(int signalNumber) {
  if (signalNumber == SIGTERM) {
    serverRunning = false;
  }
}

int skipSpaces(const char* buffer, int i, int total) {
  while (i < total && buffer[i] == ' ') {
    ++i;
  }
  return i;
}

int skipToSlash(const char* buffer, int i, int total) {
  while (i < total && buffer[i] != '/') {
    ++i;
  }
  return i;
}

char lowerCase(char byte) {
  return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
}

// Where the line after the one holding `at` starts, or the end of the bytes.
std::size_t nextLineStart(std::string_view bytes, std::size_t at) {
  const std::size_t lineEnd = bytes.find('\n', at);
  return lineEnd == std::string_view::npos ? bytes.size() : lineEnd + 1;
}

bool startsEmptyLine(std::string_view bytes, std::size_t at) {
  return bytes.substr(at, 1) == "\n" || bytes.substr(at, 2) == "\r\n";
}

// Drops input that is already waiting, without waiting for more.
void discardWaitingInput(ClientRequest& request) {
  unsigned long waiting = 0;
  while (platform::countWaitingBytes(request.socket, waiting) && waiting > 0) {
    if (platform::receiveBytes(request.socket, discardBuffer, kDiscardBufferSize) < 1) {
      request.socket = platform::kNoSocket;
      return;
    }
  }
}

// Reads until 200 ms of silence, a full buffer, the time limit, or a closed or
// failed peer.
int readRequest(ClientRequest& request) {
  int total = 0;
  Clock::time_point deadline = Clock::now() + kRequestTimeLimit;
  bool stopSeen = false;
  while (total < kRequestBufferSize && isOpen(request)) {
    if (!serverRunning && !stopSeen) {
      stopSeen = true;
      deadline = std::min(deadline, Clock::now() + kReadTimeAfterStop);
    }
    const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
    if (left <= std::chrono::microseconds::zero()) {
      break;
    }
    const std::chrono::microseconds wait = std::min<std::chrono::microseconds>(left, kSilence);
    const platform::WaitResult result =
        platform::waitUntilReadable(request.socket, static_cast<int>(wait.count()));
    if (result == platform::WaitResult::kInterruptedBySignal) {
      continue;  // SIGTERM must not cut the request being read; it is served first
    }
    if (result != platform::WaitResult::kReadable) {
      break;
    }
    const int received =
        platform::receiveBytes(request.socket, requestBuffer + total, kRequestBufferSize - total);
    if (received < 1) {
      request.socket = platform::kNoSocket;
      break;
    }
    total += received;
  }
  if (isOpen(request)) {
    discardWaitingInput(request);
  }
  return total;
}

// Memory that cannot be had ends the request, never the process. The client
// keeps what was sent, at least the status line.
void runHandler(RequestHandler handler, ClientRequest& request) {
  try {
    handler(request);
  } catch (const std::bad_alloc&) {
  }
}

// Closes the accepted handle even when the connection was marked failed.
void closeConnection(ClientRequest& request, platform::SocketHandle accepted) {
  platform::shutdownAndClose(accepted);
  request.socket = platform::kNoSocket;
}

void serveOneTurn(HttpServer& server, ClientRequest& request) {
  // A signal ends the wait early, so a stop is noticed at once.
  if (platform::waitUntilReadable(server.listenSocket, kAcceptWaitMicroseconds) !=
      platform::WaitResult::kReadable) {
    return;
  }
  request.socket = platform::kNoSocket;
  const platform::SocketHandle accepted = platform::acceptConnection(server.listenSocket);
  if (accepted == platform::kNoSocket) {
    return;
  }
  platform::limitSendStall(accepted, kSendStallSeconds);
  request.socket = accepted;
  request.target = nullptr;
  request.headers = {};
  request.headersCut = false;

  const int total = readRequest(request);
  if (total < kMinimumRequestSize) {
    closeConnection(request, accepted);
    return;
  }
  request.target = parseRequestLine(requestBuffer, total);
  if (request.target == nullptr) {
    closeConnection(request, accepted);
    return;
  }
  locateHeaders(request, requestBuffer, total);
  sendAll(request, kStatusLine, sizeof kStatusLine - 1);
  if (server.handler != nullptr) {
    runHandler(server.handler, request);
  }
  if (server.closeAfterResponse) {
    closeConnection(request, accepted);
  }
}

bool openListener(HttpServer& server) {
  server.listenSocket = platform::openListeningSocket();
  if (server.listenSocket == platform::kNoSocket) {
    return false;
  }
  if (!platform::bindAndListen(server.listenSocket, server.port, kBacklog)) {
    platform::shutdownAndClose(server.listenSocket);
    server.listenSocket = platform::kNoSocket;
    return false;
  }
  return true;
}

}  // namespace

char* parseRequestLine(char* buffer, int total) {
  int i = skipSpaces(buffer, 0, total);
  if (i + kMethodLength >= total || std::memcmp(buffer + i, kMethod, kMethodLength) != 0) {
    return nullptr;
  }
  i = skipSpaces(buffer, i + kMethodLength, total);
  if (i + kAbsoluteFormStartLength < total &&
      std::memcmp(buffer + i, kAbsoluteFormStart, kAbsoluteFormStartLength) == 0) {
    // "http://host:port/path": on to the slash that begins the path.
    i = skipToSlash(buffer, i, total);
    for (int slash = 0; slash < 2; ++slash) {
      i = skipToSlash(buffer, i + 1, total);
    }
  }
  const int start = i;
  int end = start;
  while (end < total && buffer[end] != ' ') {
    ++end;
  }
  if (end <= start) {
    return nullptr;
  }
  buffer[end] = '\0';
  return buffer + start;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return lowerCase(x) == lowerCase(y);
         });
}

void locateHeaders(ClientRequest& request, const char* buffer, int total) {
  const std::string_view received(buffer, static_cast<std::size_t>(total));
  const std::size_t start = nextLineStart(received, 0);
  std::size_t end = start;
  // A line without its line feed was cut off: "Host: wiki.lan" may be the
  // start of "Host: wiki.lan.example", so it is no header of its own.
  while (!startsEmptyLine(received, end) && received.find('\n', end) != std::string_view::npos) {
    end = nextLineStart(received, end);
  }
  request.headers = received.substr(start, end - start);
  request.headersCut = !startsEmptyLine(received, end);
}

bool findHeader(const ClientRequest& request, std::string_view name, std::string_view& value) {
  std::string_view rest = request.headers;
  while (!rest.empty()) {
    const std::size_t lineEnd = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, lineEnd);
    rest.remove_prefix(std::min(lineEnd + 1, rest.size()));
    if (line.size() <= name.size() || line[name.size()] != ':' ||
        !equalIgnoringCase(line.substr(0, name.size()), name)) {
      continue;
    }
    std::string_view found = line.substr(name.size() + 1);
    found.remove_prefix(std::min(found.find_first_not_of(" \t"), found.size()));
    found = found.substr(0, found.find('\r'));
    value = found.substr(0, found.find_last_not_of(" \t") + 1);
    return true;
  }
  return false;
}

int runServer(RequestHandler handler) {
  if (!platform::startNetworking()) {
    platform::showStartupError(kInitializeFailed);
    return kExitStartFailed;
  }
  platform::makeDirectory(kPagesDirectory);
  platform::keepFreedMemoryForReuse();

  HttpServer server;
  server.closeAfterResponse = true;
  server.port = kServerPort;
  if (!openListener(server)) {
    platform::showStartupError(kListenFailed);
    return kExitStartFailed;
  }
  platform::installTerminationHandler(onTerminationSignal);
  // Whatever a bug in serving might do, it reaches the pages and no further.
  platform::confineToPagesFolder(kPagesDirectory);
  server.handler = handler;

  ClientRequest request;
  while (serverRunning) {
    serveOneTurn(server, request);
  }

  platform::shutdownAndClose(server.listenSocket);
  platform::stopNetworking();
  return kExitStopped;
}
