// One save or one move, for the tests that watch its system calls under
// strace or make one of them fail:
//   io_probe save [VALUE]    the save handler stores "new text" (or the form
//                            value VALUE) as the page "home" and prints the
//                            body it answers with;
//   io_probe move FROM TO    the no-replace move, printing "moved" or "refused".
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "wiki/pages.h"

namespace {

// The reply is small enough to wait in the socket pair until it is read, so
// the probe needs no second thread, whose calls strace would interleave.
std::string replyToASave(const std::string& value) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
    return "<socketpair failed>";
  }
  std::string target = "/save/home?data=" + value + "&eof=1";
  ClientRequest request;
  request.socket = static_cast<platform::SocketHandle>(ends[0]);
  request.target = target.data();
  handleSaveRequest(request, "home");
  ::close(ends[0]);
  std::string reply;
  char chunk[4096];
  ssize_t count;
  while ((count = ::read(ends[1], chunk, sizeof chunk)) > 0) {
    reply.append(chunk, static_cast<std::size_t>(count));
  }
  ::close(ends[1]);
  return reply;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "move") {
    std::puts(platform::renameWithoutReplacing(argv[2], argv[3]) ? "moved" : "refused");
    return 0;
  }
  const std::string reply = replyToASave(argc == 3 ? argv[2] : "new+text");
  std::fwrite(reply.data(), 1, reply.size(), stdout);
  return reply.find("Page saved!") == std::string::npos ? 1 : 0;
}
