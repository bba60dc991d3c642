// The HTTP server: start-up, the connection loop and the way every response
// leaves the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

inline constexpr std::int32_t kServerPort = 8088;
inline constexpr int kRequestBufferSize = 655360;
inline constexpr int kDiscardBufferSize = 1024;
inline constexpr int kMinimumRequestSize = 100;

inline constexpr int kExitStopped = 0;
inline constexpr int kExitStartFailed = 255;

// Cleared by SIGTERM and by the stop request; the loop re-reads it every turn.
extern std::atomic<bool> serverRunning;
static_assert(std::atomic<bool>::is_always_lock_free && sizeof(std::atomic<bool>) == 1,
              "serverRunning must be writable from a signal handler");

// One connection. The main loop owns the single instance; a handler borrows
// it for its call.
struct ClientRequest {
  platform::SocketHandle socket = platform::kNoSocket;
  // Zero-terminated, inside the request buffer; query string included.
  char* target = nullptr;
  // The whole header lines after the request line, up to the empty line that
  // ends them, as received; inside the request buffer and never past the
  // bytes received, or a copy of them where the target's zero fell among them.
  std::string_view headers;
  // No empty line ended the header block among the bytes read (the buffer
  // filled, or a pause ended the request), so later lines may be missing. A
  // line cut off at the end is left out of `headers`.
  bool headersCut = false;
};

using RequestHandler = void (*)(ClientRequest& request);

struct HttpServer {
  RequestHandler handler = nullptr;
  std::int32_t port = kServerPort;
  bool closeAfterResponse = true;
  platform::SocketHandle listenSocket = platform::kNoSocket;
};

bool isOpen(const ClientRequest& request);

// Sends n bytes; a failed send marks the connection failed (socket := none).
void sendAll(ClientRequest& request, const char* bytes, std::int64_t n);

// Frames the body and sends it after the header, all as one run of bytes.
void sendHtmlPage(ClientRequest& request, const std::string& body);

// Starts up, serves until stopped and returns the process exit code.
int runServer(RequestHandler handler);
