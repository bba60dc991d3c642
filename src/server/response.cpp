#include "server/response.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <span>

namespace {

constexpr char kFrameOpening[] =
    "<html><head><title>Quillet</title></head><body bgcolor=#252525 text=#d0d0d0 "
    "link=#ffffff alink=#ffffff vlink=#ffffff>";
constexpr char kFrameClosing[] = "</body></html>";
constexpr char kContentType[] = "text/html";
// The header "Content-Type: %s\r\n\r\n" around the content type.
constexpr char kHeaderStart[] = "Content-Type: ";
constexpr char kHeaderEnd[] = "\r\n\r\n";
// What one platform send can be asked to take.
constexpr std::size_t kLargestSend = INT_MAX;

// Gives the platform as many of the runs as one send may take, so that a
// response the connection accepts at once costs a single call.
int sendSome(platform::SocketHandle socket, std::span<const platform::ByteRun> runs) {
  std::array<platform::ByteRun, platform::kMostRunsPerSend> call;
  std::size_t count = 0;
  std::size_t room = kLargestSend;
  for (const platform::ByteRun& run : runs.first(std::min(runs.size(), call.size()))) {
    call[count++] = {run.bytes, std::min(run.length, room)};
    room -= call[count - 1].length;
  }
  return platform::sendRuns(socket, call.data(), static_cast<int>(count));
}

// Sends the runs as though they stood side by side in memory; a failed send
// marks the connection failed.
void sendRunsAll(ClientRequest& request, std::span<platform::ByteRun> runs) {
  if (!isOpen(request)) {
    return;
  }
  while (true) {
    while (!runs.empty() && runs.front().length == 0) {
      runs = runs.subspan(1);
    }
    if (runs.empty()) {
      return;
    }
    const int result = sendSome(request.socket, runs);
    if (result < 0) {
      request.socket = platform::kNoSocket;
      return;
    }
    for (auto taken = static_cast<std::size_t>(result); taken > 0; runs = runs.subspan(1)) {
      const std::size_t part = std::min(runs.front().length, taken);
      runs.front().bytes += part;
      runs.front().length -= part;
      taken -= part;
      if (runs.front().length > 0) {
        break;
      }
    }
  }
}

}  // namespace

void sendAll(ClientRequest& request, const char* bytes, std::int64_t n) {
  if (n <= 0) {
    return;
  }
  platform::ByteRun run{bytes, static_cast<std::size_t>(n)};
  sendRunsAll(request, std::span<platform::ByteRun>(&run, 1));
}

void sendHtmlPage(ClientRequest& request, const std::string& body) {
  // The framed page travels as a zero-terminated string: a zero byte in the
  // body ends it there, and the frame's closing is then not sent.
  const void* zero = std::memchr(body.data(), '\0', body.size());
  const std::size_t bodyLength =
      zero == nullptr ? body.size()
                      : static_cast<std::size_t>(static_cast<const char*>(zero) - body.data());
  const std::size_t closingLength = zero == nullptr ? sizeof kFrameClosing - 1 : 0;
  // Header and frame go out from their constants beside the body, so the
  // page is not copied once more to be sent.
  std::array<platform::ByteRun, 6> response{{
      {kHeaderStart, sizeof kHeaderStart - 1},
      {kContentType, sizeof kContentType - 1},
      {kHeaderEnd, sizeof kHeaderEnd - 1},
      {kFrameOpening, sizeof kFrameOpening - 1},
      {body.data(), bodyLength},
      {kFrameClosing, closingLength},
  }};
  sendRunsAll(request, response);
}
