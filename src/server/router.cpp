#include "server/router.h"

#include <string>

#include "store/page_store.h"
#include "wiki/pages.h"

namespace {

constexpr char kStopPrefix[] = "/byebye";
constexpr char kStopLinkPrefix[] = "/bye";
constexpr char kEditPrefix[] = "/edit/";
constexpr char kSavePrefix[] = "/save/";
constexpr char kViewPrefix[] = "/wiki/";
constexpr char kMainPagePath[] = "/wiki/main";

constexpr char kStopLinkBody[] = "<a href='/byebye'>Click here to kill the server</a>.";
constexpr char kInvalidName[] = "Invalid page name";

bool startsWith(const std::string& path, const char* prefix) {
  return path.rfind(prefix, 0) == 0;
}

}  // namespace

void handleWikiRequest(ClientRequest& request) {
  std::string path = request.target;
  std::string name;
  if (startsWith(path, kStopPrefix)) {
    serverRunning = false;
    return;
  }
  if (startsWith(path, kStopLinkPrefix)) {
    sendHtmlPage(request, kStopLinkBody);
    return;
  }
  if (startsWith(path, kEditPrefix) || startsWith(path, kSavePrefix)) {
    if (!extractPageName(path, name)) {
      sendHtmlPage(request, kInvalidName);
    } else if (startsWith(path, kEditPrefix)) {
      renderEditPage(request, name);
    } else {
      handleSaveRequest(request, name);
    }
    return;
  }
  if (!startsWith(path, kViewPrefix)) {
    path = kMainPagePath;
  }
  if (!extractPageName(path, name)) {
    sendHtmlPage(request, kInvalidName);
    return;
  }
  renderViewPage(request, name, false);
}
