#include "server/http_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>

#include "server/response.h"
#include "server/testing.h"

namespace {

// Cleared by SIGTERM and by the stop request, and never set again.
std::atomic<bool> running{true};
static_assert(std::atomic<bool>::is_always_lock_free && sizeof(std::atomic<bool>) == 1,
              "the running flag must be writable from a signal handler");

constexpr char kStatusLine[] = "HTTP/1.0 200 OK\r\n";
constexpr std::int32_t kServerPort = 8088;
constexpr int kDiscardBufferSize = 1024;
// Shorter requests get no answer; a browser's are always longer.
constexpr int kMinimumRequestSize = 100;
constexpr int kExitStopped = 0;
constexpr int kExitStartFailed = 255;
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
// The header lines when the target ran into them (see parseRequest).
char headerCopyBuffer[kRequestBufferSize];

// Installed for SIGTERM alone.
extern "C" void onTerminationSignal(int) {
  running = false;
}

struct HttpServer {
  RequestHandler handler = nullptr;
  platform::SocketHandle listenSocket = platform::kNoSocket;
};

// The one clock of a request's reading: its time limit, cut short by a stop.
struct ReadClock {
  Clock::time_point deadline = Clock::now() + kRequestTimeLimit;
  bool stopSeen = false;
};

std::chrono::microseconds timeLeft(ReadClock& clock) {
  if (!running && !clock.stopSeen) {
    clock.stopSeen = true;
    clock.deadline = std::min(clock.deadline, Clock::now() + kReadTimeAfterStop);
  }
  return std::chrono::ceil<std::chrono::microseconds>(clock.deadline - Clock::now());
}

// Drops input that is already waiting, without waiting for more; a client
// that keeps more waiting than this drains is cut off at the clock's end.
void discardWaitingInput(ClientRequest& request, ReadClock& clock) {
  unsigned long waiting = 0;
  while (timeLeft(clock) > std::chrono::microseconds::zero() &&
         platform::countWaitingBytes(request.socket, waiting) && waiting > 0) {
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
  ReadClock clock;
  while (total < kRequestBufferSize && isOpen(request)) {
    const std::chrono::microseconds left = timeLeft(clock);
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
    discardWaitingInput(request, clock);
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
  if (!parseRequest(request, requestBuffer, total, headerCopyBuffer)) {
    closeConnection(request, accepted);
    return;
  }
  sendAll(request, kStatusLine, sizeof kStatusLine - 1);
  if (server.handler != nullptr) {
    runHandler(server.handler, request);
  }
  closeConnection(request, accepted);
}

bool openListener(HttpServer& server) {
  server.listenSocket = platform::openListeningSocket();
  if (server.listenSocket == platform::kNoSocket) {
    return false;
  }
  if (!platform::bindAndListen(server.listenSocket, kServerPort, kBacklog)) {
    platform::shutdownAndClose(server.listenSocket);
    server.listenSocket = platform::kNoSocket;
    return false;
  }
  return true;
}

}  // namespace

int runServer(RequestHandler handler, StartupStep prepare, const char* folder) {
  if (!platform::startNetworking()) {
    platform::showStartupError(kInitializeFailed);
    return kExitStartFailed;
  }
  prepare();
  platform::keepFreedMemoryForReuse();

  HttpServer server;
  if (!openListener(server)) {
    platform::showStartupError(kListenFailed);
    return kExitStartFailed;
  }
  platform::installTerminationHandler(onTerminationSignal);
  // Whatever a bug in serving might do, it reaches the pages and no further.
  platform::confineToPagesFolder(folder);
  server.handler = handler;

  ClientRequest request;
  while (running) {
    serveOneTurn(server, request);
  }

  platform::shutdownAndClose(server.listenSocket);
  platform::stopNetworking();
  return kExitStopped;
}

void askServerToStop() {
  running = false;
}

bool serverRunning() {
  return running;
}

// Declared in testing.h, for the tests of the stop request.
void letServerRunAgain() {
  running = true;
}
