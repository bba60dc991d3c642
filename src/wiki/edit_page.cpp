#include "server/response.h"
#include "store/page_store.h"
#include "wiki/pages.h"

namespace {

constexpr char kTextAreaStart[] =
    "<textarea style='background: #202020; color: #d0d0d0' name=data cols=70 rows=25>";

// A browser decodes character references in a text area and ends it at the
// first "</textarea", so '&' and '<' are escaped to come back unchanged.
void appendTextAreaContent(const std::string& text, std::string& body) {
  // The HTML parser drops one line feed right after the start tag; a text
  // that begins with a line break would lose it on every save.
  if (!text.empty() && (text.front() == '\n' || text.front() == '\r')) {
    body.push_back('\n');
  }
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t special = text.find_first_of("&<", start);
    const std::size_t runEnd = special == std::string::npos ? text.size() : special;
    body.append(text, start, runEnd - start);
    if (runEnd == text.size()) {
      break;
    }
    body.append(text[runEnd] == '&' ? "&amp;" : "&lt;");
    start = runEnd + 1;
  }
}

std::string editPageBody(const std::string& name, const std::string& text) {
  std::string body = "Edit " + name + ":<form method='get' action='/save/" + name + "'>";
  body += kTextAreaStart;
  appendTextAreaContent(text, body);
  body += "</textarea><input type=hidden name=eof value=1><input type='submit'></form>";
  return body;
}

}  // namespace

void renderEditPage(ClientRequest& request, const std::string& name) {
  std::string text;
  loadPage(name, text);  // a missing page edits as an empty one
  sendHtmlPage(request, editPageBody(name, text));
}
