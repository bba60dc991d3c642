// The VM's client: one request to the wiki at 127.0.0.1:8088, the reply on
// standard output. Linked statically, as the VM has no libraries.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

constexpr int kPort = 8088;
constexpr int kReplyMilliseconds = 10000;
// The server answers only requests of 100 bytes and more.
const std::string kPadding = "X-Padding: " + std::string(60, 'p') + "\r\n";

bool sendAll(int socket, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t count = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) {
      return false;
    }
    sent += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    return 2;
  }
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return 1;
  }
  const std::string request = std::string("GET ") + argv[1] +
                              " HTTP/1.1\r\nHost: 127.0.0.1:8088\r\nUser-Agent: vm-client\r\n" +
                              kPadding + "\r\n";
  if (!sendAll(socket, request)) {
    return 1;
  }
  char chunk[4096];
  pollfd entry{socket, POLLIN, 0};
  while (::poll(&entry, 1, kReplyMilliseconds) == 1) {
    const ssize_t count = ::recv(socket, chunk, sizeof chunk, 0);
    if (count <= 0 || ::write(STDOUT_FILENO, chunk, static_cast<std::size_t>(count)) != count) {
      break;
    }
  }
  ::close(socket);
  return 0;
}
