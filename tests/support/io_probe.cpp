// One save or one move, for the tests that watch its system calls under
// strace or make one of them fail:
//   io_probe save            the save handler stores "new text" as the page
//                            "home" and prints the body it answers with;
//   io_probe move FROM TO    the no-replace move, printing "moved" or "refused".
#include <cstdio>
#include <string>

#include "support/captured_response.h"
#include "wiki/pages.h"

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "move") {
    std::puts(platform::renameWithoutReplacing(argv[2], argv[3]) ? "moved" : "refused");
    return 0;
  }
  char target[] = "/save/home?data=new+text&eof=1";
  const std::string reply = captureResponse([&target](ClientRequest& request) {
    request.target = target;
    handleSaveRequest(request, "home");
  });
  std::fwrite(reply.data(), 1, reply.size(), stdout);
  return reply.find("Page saved!") == std::string::npos ? 1 : 0;
}
