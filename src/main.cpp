#include "server/http_server.h"

namespace {

void sendPlaceholderPage(ClientRequest& request) {
  sendHtmlPage(request, "Quillet is running.");
}

}  // namespace

int main() {
  return runServer(sendPlaceholderPage);
}
