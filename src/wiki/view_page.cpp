#include "server/response.h"
#include "store/page_store.h"
#include "wiki/markup.h"
#include "wiki/pages.h"

namespace {

constexpr char kSavedNotice[] = "<b>Page saved!</b> - ";

std::string missingPageBody(const std::string& name) {
  return "Unknown page <b>" + name + "</b>. <a href='/edit/" + name + "'>Create it</a>.";
}

std::string viewPageBody(const std::string& name, const std::string& text, bool justSaved) {
  std::string body = justSaved ? kSavedNotice : "";
  body += "<a href='/edit/" + name +
          "'>Edit this page</a> - <a href='/'>Main</a> - <a href='/bye'>Kill the "
          "server</a><br><br>";
  appendMarkup(text, body);
  return body;
}

}  // namespace

void renderViewPage(ClientRequest& request, const std::string& name, bool justSaved) {
  std::string text;
  if (!loadPage(name, text)) {
    sendHtmlPage(request, missingPageBody(name));
    return;
  }
  std::string body = viewPageBody(name, text, justSaved);
  // Converted, the text is of no more use; sending the body without it
  // keeps one copy of the page fewer in memory while the client reads.
  std::string().swap(text);
  sendHtmlPage(request, body);
}
