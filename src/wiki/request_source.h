// Where a request comes from: which name it was sent to, and whether a request
// that changes something (a save, a stop) may be trusted or was forged by
// another web site that the user happened to visit.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/request.h"

enum class RequestHost {
  // One of this machine's own names or addresses, or no Host header at all
  // (curl, scripts).
  kOwnName,
  // Any other name: a page whose name was pointed at this machine (DNS
  // rebinding) would otherwise read and write the wiki as its own site.
  kOtherName,
  // The header block was cut off before a Host line could be read, so the
  // name cannot be told; a forger can pad a URL to make this happen.
  kUnseen,
};

RequestHost judgeRequestHost(const ClientRequest& request);

// Whether the host of a Host header's value (without its port) is one of this
// machine's own names, given the name the OS reports for it and the domains
// its resolver searches (trailing dots already taken off).
bool isOwnHostName(std::string_view host, std::string_view machineName,
                   const std::vector<std::string>& searchDomains);

enum class RequestSource {
  // The wiki's own pages, a typed or bookmarked URL in a browser that says
  // so, or a client that sends no browser headers (curl, scripts).
  kTrusted,
  // The browser says, or the Referer shows, that another site, a frame or a
  // prefetch made it, or a browser made it without saying where from.
  kOtherSite,
  // The header block did not end in the bytes read, so a header that would
  // refuse it may be missing, whatever the lines before the cut say.
  kUntold,
};

RequestSource judgeRequestSource(const ClientRequest& request);
