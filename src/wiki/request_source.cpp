#include "wiki/request_source.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ascii.h"
#include "platform/platform.h"

using platform::equalIgnoringCase;
using platform::isDigit;

namespace {

constexpr std::string_view kHostHeader = "Host";

// Names that only this machine or its local network can resolve. Anything
// else could be a name that a hostile site points at this machine.
constexpr std::string_view kLoopbackName = "localhost";
constexpr std::string_view kLocalSuffixes[] = {".localhost", ".local",    ".lan",        ".home",
                                               ".home.arpa", ".internal", ".localdomain"};
constexpr int kIpv4Parts = 4;
constexpr int kDecimalBase = 10;
constexpr int kLargestIpv4Part = 255;
constexpr std::size_t kLongestIpv4Part = 3;
constexpr std::size_t kLongestPort = 5;

// Every browser in use marks each request to a secure context (https,
// localhost, loopback addresses) with the site and the kind of element that
// caused it.
constexpr std::string_view kFetchSiteHeader = "Sec-Fetch-Site";
constexpr std::string_view kSameOrigin = "same-origin";
constexpr std::string_view kUserTyped = "none";
constexpr std::string_view kFetchDestHeader = "Sec-Fetch-Dest";
constexpr std::string_view kWholePage = "document";
// Prefetches and prerenders that the browser makes by itself, from history
// or suggestions, before the user asked for anything.
constexpr std::string_view kPurposeHeaders[] = {"Sec-Purpose", "Purpose", "X-Moz"};
constexpr std::string_view kPrefetch = "prefetch";
// Elsewhere (a local-network name), the page the request came from, against
// our own address; and browsers always name themselves with this mark.
constexpr std::string_view kRefererHeader = "Referer";
constexpr std::string_view kSchemes[] = {"http://", "https://"};
constexpr std::string_view kUserAgentHeader = "User-Agent";
constexpr std::string_view kBrowserMark = "Mozilla/";

bool isHostNameByte(char byte) {
  return isDigit(byte) || platform::isLetter(byte) || byte == '-' || byte == '_' || byte == '.';
}

bool isIpv6Byte(char byte) {
  return platform::hexDigitValue(byte) >= 0 || byte == ':' || byte == '.';
}

bool allOf(std::string_view bytes, bool (*test)(char)) {
  return std::all_of(bytes.begin(), bytes.end(), test);
}

bool endsWithIgnoringCase(std::string_view text, std::string_view suffix) {
  return text.size() > suffix.size() &&
         equalIgnoringCase(text.substr(text.size() - suffix.size()), suffix);
}

bool containsIgnoringCase(std::string_view text, std::string_view part) {
  for (std::size_t at = 0; at + part.size() <= text.size(); ++at) {
    if (equalIgnoringCase(text.substr(at, part.size()), part)) {
      return true;
    }
  }
  return false;
}

bool isIpv4Address(std::string_view host) {
  for (int part = 0; part < kIpv4Parts; ++part) {
    const std::size_t dot = std::min(host.find('.'), host.size());
    const std::string_view digits = host.substr(0, dot);
    if (digits.empty() || digits.size() > kLongestIpv4Part || !allOf(digits, isDigit)) {
      return false;
    }
    int value = 0;
    for (const char digit : digits) {
      value = value * kDecimalBase + (digit - '0');
    }
    if (value > kLargestIpv4Part) {
      return false;
    }
    const bool last = part == kIpv4Parts - 1;
    if (last != (dot == host.size())) {
      return false;
    }
    host.remove_prefix(std::min(dot + 1, host.size()));
  }
  return true;
}

bool isBracketedIpv6Address(std::string_view host) {
  return host.size() > 2 && host.front() == '[' && host.back() == ']' &&
         allOf(host.substr(1, host.size() - 2), isIpv6Byte);
}

std::string_view withoutTrailingDot(std::string_view name) {
  return !name.empty() && name.back() == '.' ? name.substr(0, name.size() - 1) : name;
}

// The host of "host[:port]" or "[v6]:port"; false when the value is neither.
bool hostWithoutPort(std::string_view value, std::string_view& host) {
  const std::size_t hostEnd =
      !value.empty() && value.front() == '[' ? value.find(']') + 1 : value.find(':');
  if (hostEnd == 0) {
    return false;  // a '[' without its ']'
  }
  host = value.substr(0, hostEnd);
  if (hostEnd >= value.size()) {
    return true;
  }
  const std::string_view port = value.substr(hostEnd);
  return port.size() >= 2 && port.size() <= kLongestPort + 1 && port.front() == ':' &&
         allOf(port.substr(1), isDigit);
}

// The host[:port] of an http or https URL; empty for any other URL.
std::string_view hostOfUrl(std::string_view url) {
  for (const std::string_view scheme : kSchemes) {
    if (url.substr(0, scheme.size()) == scheme) {
      const std::string_view rest = url.substr(scheme.size());
      return rest.substr(0, rest.find_first_of("/?#"));
    }
  }
  return {};
}

bool isPrefetch(const ClientRequest& request) {
  for (const std::string_view header : kPurposeHeaders) {
    std::string_view purpose;
    if (findHeader(request, header, purpose) && containsIgnoringCase(purpose, kPrefetch)) {
      return true;
    }
  }
  return false;
}

RequestSource judgeByFetchMarks(const ClientRequest& request, std::string_view fetchSite) {
  if (fetchSite != kSameOrigin && fetchSite != kUserTyped) {
    return RequestSource::kOtherSite;
  }
  // A frame, an image or a script's fetch: only a whole page the user sees
  // and acts in may save or stop (a framed page can be clicked unknowingly).
  std::string_view destination;
  return findHeader(request, kFetchDestHeader, destination) && destination != kWholePage
             ? RequestSource::kOtherSite
             : RequestSource::kTrusted;
}

RequestSource judgeByReferer(const ClientRequest& request, std::string_view referer) {
  std::string_view host;
  findHeader(request, kHostHeader, host);
  const std::string_view refererHost = hostOfUrl(referer);
  return !refererHost.empty() && equalIgnoringCase(refererHost, host) ? RequestSource::kTrusted
                                                                      : RequestSource::kOtherSite;
}

}  // namespace

bool isOwnHostName(std::string_view host, std::string_view machineName,
                   const std::vector<std::string>& searchDomains) {
  if (isBracketedIpv6Address(host)) {
    return true;
  }
  host = withoutTrailingDot(host);
  if (host.empty() || !allOf(host, isHostNameByte)) {
    return false;
  }
  if (isIpv4Address(host) || equalIgnoringCase(host, kLoopbackName) ||
      host.find('.') == std::string_view::npos) {
    return true;
  }
  for (const std::string_view suffix : kLocalSuffixes) {
    if (endsWithIgnoringCase(host, suffix)) {
      return true;
    }
  }
  machineName = withoutTrailingDot(machineName);
  if (machineName.empty()) {
    return false;
  }
  if (equalIgnoringCase(host, machineName)) {
    return true;
  }
  // The resolver completes the short name with each search domain, and the
  // network's DNS (a home router's, an office's) knows the machine that way.
  const std::string_view shortName = machineName.substr(0, machineName.find('.'));
  for (const std::string& domain : searchDomains) {
    if (!shortName.empty() && host.size() == shortName.size() + 1 + domain.size() &&
        equalIgnoringCase(host.substr(0, shortName.size()), shortName) &&
        host[shortName.size()] == '.' &&
        equalIgnoringCase(host.substr(shortName.size() + 1), domain)) {
      return true;
    }
  }
  return false;
}

RequestHost judgeRequestHost(const ClientRequest& request) {
  std::string_view value;
  if (!findHeader(request, kHostHeader, value)) {
    return request.headersCut ? RequestHost::kUnseen : RequestHost::kOwnName;
  }
  std::string_view host;
  return hostWithoutPort(value, host) &&
                 isOwnHostName(host, platform::machineHostName(), platform::resolverSearchDomains())
             ? RequestHost::kOwnName
             : RequestHost::kOtherName;
}

RequestSource judgeRequestSource(const ClientRequest& request) {
  // A line after the cut may say "frame" or "prefetch": a forger pads the URL
  // or pauses until the line that would refuse it falls past the cut.
  if (request.headersCut) {
    return RequestSource::kUntold;
  }
  if (isPrefetch(request)) {
    return RequestSource::kOtherSite;
  }
  std::string_view fetchSite;
  if (findHeader(request, kFetchSiteHeader, fetchSite)) {
    return judgeByFetchMarks(request, fetchSite);
  }
  std::string_view referer;
  if (findHeader(request, kRefererHeader, referer)) {
    return judgeByReferer(request, referer);
  }
  // On a local-network name browsers send no fetch marks, and a hostile page
  // can suppress the Referer; a browser that says neither is not believed.
  std::string_view agent;
  return findHeader(request, kUserAgentHeader, agent) &&
                 agent.find(kBrowserMark) != std::string_view::npos
             ? RequestSource::kOtherSite
             : RequestSource::kTrusted;
}
