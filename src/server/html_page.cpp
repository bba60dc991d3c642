#include <algorithm>
#include <climits>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string_view>

#include "server/http_server.h"

namespace {

constexpr char kFrameOpening[] =
    "<html><head><title>Quillet</title></head><body bgcolor=#252525 text=#d0d0d0 "
    "link=#ffffff alink=#ffffff vlink=#ffffff>";
constexpr char kFrameClosing[] = "</body></html>";
constexpr char kContentType[] = "text/html";
// The header "Content-Type: %s\r\n\r\n" around the content type.
constexpr char kHeaderStart[] = "Content-Type: ";
constexpr char kHeaderEnd[] = "\r\n\r\n";
// The header's 18 fixed bytes, a terminating zero and one spare byte.
constexpr std::size_t kHeaderRoom = 20;
// What one platform send can be asked to take.
constexpr std::int64_t kLargestSend = INT_MAX;

}  // namespace

bool isOpen(const ClientRequest& request) {
  return request.socket != platform::kNoSocket;
}

void sendAll(ClientRequest& request, const char* bytes, std::int64_t n) {
  if (!isOpen(request)) {
    return;
  }
  std::int64_t sent = 0;
  while (sent < n) {
    const int piece = static_cast<int>(std::min(n - sent, kLargestSend));
    const int result = platform::sendBytes(request.socket, bytes + sent, piece);
    if (result < 0) {
      request.socket = platform::kNoSocket;
      return;
    }
    sent += result;
  }
}

void sendHtmlPage(ClientRequest& request, const std::string& body) {
  // The framed page travels as a zero-terminated string: a zero byte in the
  // body ends it there, and the frame's closing is then not sent.
  const void* zero = std::memchr(body.data(), '\0', body.size());
  const std::size_t bodyLength =
      zero == nullptr ? body.size()
                      : static_cast<std::size_t>(static_cast<const char*>(zero) - body.data());
  const std::size_t closingLength = zero == nullptr ? sizeof kFrameClosing - 1 : 0;
  const std::size_t pageLength = sizeof kFrameOpening - 1 + bodyLength + closingLength;

  // Header and framed page in one block, sent as one run.
  const std::size_t size = sizeof kContentType - 1 + pageLength + kHeaderRoom;
  const std::unique_ptr<char[]> response(new (std::nothrow) char[size]);
  if (!response) {
    return;  // The client is left with the status line alone.
  }
  char* end = response.get();
  for (const std::string_view piece :
       {std::string_view(kHeaderStart), std::string_view(kContentType),
        std::string_view(kHeaderEnd), std::string_view(kFrameOpening),
        std::string_view(body.data(), bodyLength),
        std::string_view(kFrameClosing, closingLength)}) {
    std::memcpy(end, piece.data(), piece.size());
    end += piece.size();
  }
  sendAll(request, response.get(), static_cast<std::int64_t>(end - response.get()));
}
