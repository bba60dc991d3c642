#include "server/http_server.h"
#include "server/router.h"

int main() {
  return runServer(handleWikiRequest);
}
