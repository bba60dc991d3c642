#include <array>
#include <cstring>

#include "store/page_store.h"
#include "wiki/pages.h"

namespace {

constexpr char kSavedNotice[] = "<b>Page saved!</b> - ";

// The bytes that end a run of text copied unchanged.
constexpr std::array<bool, 256> kMarkupBytes = [] {
  std::array<bool, 256> table{};
  for (const unsigned char byte : {'[', '\n', '&', '<', '>'}) {
    table[byte] = true;
  }
  return table;
}();

bool isMarkupByte(char byte) {
  return kMarkupBytes[static_cast<unsigned char>(byte)];
}

bool isLinkByte(char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || byte == '_' || byte == '-';
}

// Appends the link that starts with the '[' at `open` and returns where the
// scan goes on, or returns `open` when no complete link starts there.
std::size_t appendLink(const std::string& text, std::size_t open, std::string& html) {
  std::size_t close = open + 1;
  while (close < text.size() && isLinkByte(text[close])) {
    ++close;
  }
  if (close >= text.size() || text[close] != ']') {
    return open;
  }
  const char* name = text.data() + open + 1;
  const std::size_t length = close - open - 1;
  html.append("<a href='/wiki/").append(name, length).append("'>");
  html.append(name, length).append("</a>");
  return close + 1;
}

}  // namespace

std::string convertMarkup(const std::string& text) {
  std::string html;
  html.reserve(text.size() + text.size() / 8);
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t runEnd = i;
    while (runEnd < text.size() && !isMarkupByte(text[runEnd])) {
      ++runEnd;
    }
    html.append(text, i, runEnd - i);
    i = runEnd;
    if (i == text.size()) {
      break;
    }
    switch (text[i]) {
      case '[': {
        const std::size_t next = appendLink(text, i, html);
        if (next != i) {
          i = next;
          continue;
        }
        html.push_back('[');
        break;
      }
      case '\n':
        html.append("<br>");
        break;
      case '&':
        html.append("&amp;");
        break;
      case '>':
        html.append("&gt;");
        break;
      case '<':
        html.append("&lt;");
        break;
    }
    ++i;
  }
  return html;
}

std::string missingPageBody(const std::string& name) {
  return "Unknown page <b>" + name + "</b>. <a href='/edit/" + name + "'>Create it</a>.";
}

std::string viewPageBody(const std::string& name, const std::string& text, bool justSaved) {
  std::string body = justSaved ? kSavedNotice : "";
  body += "<a href='/edit/" + name +
          "'>Edit this page</a> - <a href='/'>Main</a> - <a href='/bye'>Kill the "
          "server</a><br><br>";
  body += convertMarkup(text);
  return body;
}

void renderViewPage(ClientRequest& request, const std::string& name, bool justSaved) {
  std::string text;
  if (!loadPage(name, text)) {
    sendHtmlPage(request, missingPageBody(name));
    return;
  }
  sendHtmlPage(request, viewPageBody(name, text, justSaved));
}
