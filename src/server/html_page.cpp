#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "server/http_server.h"

namespace {

constexpr char kFrameOpening[] =
    "<html><head><title>Quillet</title></head><body bgcolor=#252525 text=#d0d0d0 "
    "link=#ffffff alink=#ffffff vlink=#ffffff>";
constexpr char kFrameClosing[] = "</body></html>";
constexpr char kContentType[] = "text/html";
constexpr char kHeaderTemplate[] = "Content-Type: %s\r\n\r\n%s";
// The template's fixed bytes, the terminating zero and one spare byte.
constexpr std::size_t kHeaderRoom = 20;

}  // namespace

bool isOpen(const ClientRequest& request) {
  return request.socket != platform::kNoSocket;
}

void sendAll(ClientRequest& request, const char* bytes, std::int32_t n) {
  if (!isOpen(request)) {
    return;
  }
  std::int32_t sent = 0;
  while (sent < n) {
    const int result = platform::sendBytes(request.socket, bytes + sent, n - sent);
    if (result < 0) {
      request.socket = platform::kNoSocket;
      return;
    }
    sent += result;
  }
}

void sendHtmlPage(ClientRequest& request, const std::string& body) {
  std::string framed;
  framed.reserve(sizeof kFrameOpening + body.size() + sizeof kFrameClosing);
  framed.append(kFrameOpening).append(body).append(kFrameClosing);
  // The page travels as a zero-terminated string: a zero byte ends it.
  const std::size_t length = std::strlen(framed.c_str());

  const std::size_t size = std::strlen(kContentType) + length + kHeaderRoom;
  const std::unique_ptr<char[]> response(new (std::nothrow) char[size]);
  if (!response) {
    return;  // The client is left with the status line alone.
  }
  const int formatted =
      std::snprintf(response.get(), size, kHeaderTemplate, kContentType, framed.c_str());
  if (formatted > 0) {
    sendAll(request, response.get(), formatted);
  }
}
