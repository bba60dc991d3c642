// Whether a request that changes something (a save, a stop) may be trusted,
// or was forged by another web site that the user happened to visit.
#pragma once

#include "server/http_server.h"

enum class RequestSource {
  // The wiki's own pages, a typed or bookmarked URL, or a client that sends no
  // browser headers (curl, scripts).
  kTrusted,
  // The browser says, or the Referer shows, that another site made it.
  kOtherSite,
  // The request filled the buffer before its headers ended, so the headers
  // that would tell cannot be seen; a forger can pad a URL to make this happen.
  kUntold,
};

RequestSource judgeRequestSource(const ClientRequest& request);
