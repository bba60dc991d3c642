#include "server/http_server.h"
#include "wiki/router.h"

int main() {
  return runServer(handleWikiRequest);
}
