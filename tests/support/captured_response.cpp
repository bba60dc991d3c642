#include "support/captured_response.h"

#include <sys/socket.h>
#include <unistd.h>

#include <thread>

std::string captureResponse(const std::function<void(ClientRequest&)>& handler) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
    return "<socketpair failed>";
  }
  std::string received;
  // Read while the handler writes, so a large response cannot fill the pair.
  std::thread reader([&received, peer = ends[1]] {
    char chunk[65536];
    ssize_t count;
    while ((count = ::read(peer, chunk, sizeof chunk)) > 0) {
      received.append(chunk, static_cast<size_t>(count));
    }
  });
  ClientRequest request;
  request.socket = static_cast<platform::SocketHandle>(ends[0]);
  handler(request);
  ::shutdown(ends[0], SHUT_RDWR);
  ::close(ends[0]);
  reader.join();
  ::close(ends[1]);
  return received;
}
