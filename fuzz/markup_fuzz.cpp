// The converter's output holds no raw '<', '>' or '&' outside what it writes
// itself, and reading it back gives the text again.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "wiki/markup.h"

namespace {

bool startsAt(const std::string& html, std::size_t i, const char* piece) {
  return html.compare(i, std::char_traits<char>::length(piece), piece) == 0;
}

bool isLinkByte(char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || byte == '_' || byte == '-';
}

// Turns the HTML back into the text it came from; aborts on anything the
// converter must never write.
std::string readBack(const std::string& html) {
  static const char kLinkStart[] = "<a href='/wiki/";
  std::string text;
  std::size_t i = 0;
  while (i < html.size()) {
    const char byte = html[i];
    if (byte == '>') {
      std::abort();
    }
    if (byte == '&') {
      if (startsAt(html, i, "&amp;")) {
        text += '&', i += 5;
      } else if (startsAt(html, i, "&lt;")) {
        text += '<', i += 4;
      } else if (startsAt(html, i, "&gt;")) {
        text += '>', i += 4;
      } else {
        std::abort();
      }
    } else if (byte == '<') {
      if (startsAt(html, i, "<br>")) {
        text += '\n', i += 4;
        continue;
      }
      if (!startsAt(html, i, kLinkStart)) {
        std::abort();
      }
      i += sizeof kLinkStart - 1;
      const std::size_t nameStart = i;
      while (i < html.size() && isLinkByte(html[i])) {
        ++i;
      }
      const std::string name = html.substr(nameStart, i - nameStart);
      const std::string rest = "'>" + name + "</a>";
      if (html.compare(i, rest.size(), rest) != 0) {
        std::abort();
      }
      text += "[" + name + "]";
      i += rest.size();
    } else {
      text += byte, ++i;
    }
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (readBack(convertMarkup(text)) != text) {
    std::abort();
  }
  return 0;
}
