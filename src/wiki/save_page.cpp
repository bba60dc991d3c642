#include <cstring>

#include "platform/ascii.h"
#include "server/response.h"
#include "store/page_store.h"
#include "wiki/pages.h"

namespace {

// The last field of the form: without it the request arrived cut short.
constexpr char kCompleteMarker[] = "&eof=1";
constexpr char kFirstFieldStart[] = "?data=";
constexpr char kLaterFieldStart[] = "&data=";
constexpr std::size_t kFieldStartLength = sizeof kFirstFieldStart - 1;

constexpr char kMissingData[] = "Missing data";
constexpr char kSaveFailed[] = "Failed to save the page contents.";

const char* findFormValue(const char* target) {
  const char* field = std::strstr(target, kFirstFieldStart);
  if (field == nullptr) {
    field = std::strstr(target, kLaterFieldStart);
  }
  return field == nullptr ? nullptr : field + kFieldStartLength;
}

}  // namespace

const char kPageTooLargeMessage[] =
    "The page contents is too large. Ensure it is at most around 60KB and that your browser "
    "can send GET requests that large.";

std::string decodeFormValue(const char* value) {
  const std::size_t length = std::strcspn(value, "&");
  std::string text(length, '\0');  // decoding never makes the value longer
  char* out = text.data();
  std::size_t i = 0;
  while (i < length) {
    const char byte = value[i];
    // Neither '&' nor the terminating zero is a digit, so nothing past the
    // value is read here.
    const int high = byte == '%' ? platform::hexDigitValue(value[i + 1]) : -1;
    const int low = high < 0 ? -1 : platform::hexDigitValue(value[i + 2]);
    if (byte == '+') {
      *out++ = ' ';
      ++i;
    } else if (low >= 0) {
      *out++ = static_cast<char>(high * 16 + low);
      i += 3;
    } else {
      *out++ = byte;
      ++i;
    }
  }
  text.resize(static_cast<std::size_t>(out - text.data()));
  return text;
}

void handleSaveRequest(ClientRequest& request, const std::string& name) {
  if (std::strstr(request.target, kCompleteMarker) == nullptr) {
    sendHtmlPage(request, kPageTooLargeMessage);
    return;
  }
  const char* value = findFormValue(request.target);
  if (value == nullptr) {
    sendHtmlPage(request, kMissingData);
    return;
  }
  if (!savePage(name, decodeFormValue(value))) {
    sendHtmlPage(request, kSaveFailed);
    return;
  }
  renderViewPage(request, name, true);
}
