#include "platform/platform.h"
#include "server/http_server.h"
#include "store/page_store.h"
#include "wiki/router.h"

namespace {

// The wiki's part of start-up: what the host check and the pages need from
// outside the pages folder, done before the server confines itself to it.
void prepareWiki() {
  platform::readResolverSearchDomains();
  platform::makeDirectory(kPagesDirectory);
}

}  // namespace

int main() {
  return runServer(handleWikiRequest, prepareWiki, kPagesDirectory);
}
