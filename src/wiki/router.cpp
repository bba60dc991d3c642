#include "wiki/router.h"

#include <string>

#include "server/http_server.h"
#include "server/response.h"
#include "store/page_store.h"
#include "wiki/pages.h"
#include "wiki/request_source.h"

namespace {

constexpr char kStopPrefix[] = "/byebye";
constexpr char kStopLinkPrefix[] = "/bye";
constexpr char kEditPrefix[] = "/edit/";
constexpr char kSavePrefix[] = "/save/";
constexpr char kViewPrefix[] = "/wiki/";
constexpr char kMainPagePath[] = "/wiki/main";

constexpr char kStopLinkBody[] = "<a href='/byebye'>Click here to kill the server</a>.";
constexpr char kInvalidName[] = "Invalid page name";
constexpr char kForgedStopBody[] =
    "This stop request came from another web site and was refused; the server keeps running. "
    "<a href='/'>Main</a>.";
// The name the request was sent to is not echoed: it is the attacker's.
constexpr char kOtherNameBody[] =
    "Quillet answers only at this machine's own addresses, such as http://localhost:8088/. "
    "This request was sent to another name, so nothing was shown or changed.";

bool startsWith(const std::string& path, const char* prefix) {
  return path.rfind(prefix, 0) == 0;
}

std::string forgedSaveBody(const std::string& name) {
  return "This save came from another web site and was refused; nothing was changed. <a "
         "href='/wiki/" +
         name + "'>Back to " + name + "</a>.";
}

void stopServer(ClientRequest& request) {
  if (judgeRequestSource(request) != RequestSource::kTrusted) {
    sendHtmlPage(request, kForgedStopBody);
    return;
  }
  askServerToStop();
}

void savePageFromForm(ClientRequest& request, const std::string& name) {
  switch (judgeRequestSource(request)) {
    case RequestSource::kTrusted:
      handleSaveRequest(request, name);
      break;
    case RequestSource::kOtherSite:
      sendHtmlPage(request, forgedSaveBody(name));
      break;
    case RequestSource::kUntold:
      // Cut off before its headers ended: past the size limit, or by a pause.
      sendHtmlPage(request, kPageTooLargeMessage);
      break;
  }
}

// A request whose Host line was cut off may come from a page that padded its
// URL to hide the name it used; it gets no page text, only what any address
// may see (the form or note of a page that does not exist).
bool mayShowPageText(RequestHost host, const std::string& name) {
  return host != RequestHost::kUnseen || !pageExists(name);
}

}  // namespace

void handleWikiRequest(ClientRequest& request) {
  const RequestHost host = judgeRequestHost(request);
  if (host == RequestHost::kOtherName) {
    sendHtmlPage(request, kOtherNameBody);
    return;
  }
  std::string path = request.target;
  std::string name;
  if (startsWith(path, kStopPrefix)) {
    stopServer(request);
    return;
  }
  if (startsWith(path, kStopLinkPrefix)) {
    sendHtmlPage(request, kStopLinkBody);
    return;
  }
  if (startsWith(path, kEditPrefix) || startsWith(path, kSavePrefix)) {
    if (!extractPageName(path, name)) {
      sendHtmlPage(request, kInvalidName);
    } else if (startsWith(path, kSavePrefix)) {
      savePageFromForm(request, name);
    } else if (!mayShowPageText(host, name)) {
      sendHtmlPage(request, kOtherNameBody);
    } else {
      renderEditPage(request, name);
    }
    return;
  }
  if (!startsWith(path, kViewPrefix)) {
    path = kMainPagePath;
  }
  if (!extractPageName(path, name)) {
    sendHtmlPage(request, kInvalidName);
  } else if (!mayShowPageText(host, name)) {
    sendHtmlPage(request, kOtherNameBody);
  } else {
    renderViewPage(request, name, false);
  }
}
