#include "wiki/request_source.h"

#include <string_view>

namespace {

// Every browser in use marks each request with the site that caused it.
constexpr std::string_view kFetchSiteHeader = "Sec-Fetch-Site";
constexpr std::string_view kSameOrigin = "same-origin";
constexpr std::string_view kUserTyped = "none";
// Older browsers: the page the request came from, against our own address.
constexpr std::string_view kRefererHeader = "Referer";
constexpr std::string_view kHostHeader = "Host";
constexpr std::string_view kSchemes[] = {"http://", "https://"};

// The host[:port] of an http or https URL; empty for any other URL.
std::string_view hostOf(std::string_view url) {
  for (const std::string_view scheme : kSchemes) {
    if (url.substr(0, scheme.size()) == scheme) {
      const std::string_view rest = url.substr(scheme.size());
      return rest.substr(0, rest.find_first_of("/?#"));
    }
  }
  return {};
}

}  // namespace

RequestSource judgeRequestSource(const ClientRequest& request) {
  std::string_view fetchSite;
  if (findHeader(request, kFetchSiteHeader, fetchSite)) {
    return fetchSite == kSameOrigin || fetchSite == kUserTyped ? RequestSource::kTrusted
                                                               : RequestSource::kOtherSite;
  }
  std::string_view referer;
  if (findHeader(request, kRefererHeader, referer)) {
    std::string_view host;
    findHeader(request, kHostHeader, host);
    const std::string_view refererHost = hostOf(referer);
    return !refererHost.empty() && equalIgnoringCase(refererHost, host) ? RequestSource::kTrusted
                                                                        : RequestSource::kOtherSite;
  }
  return request.headersCut ? RequestSource::kUntold : RequestSource::kTrusted;
}
