#include "server/request.h"

#include <algorithm>
#include <cstring>

#include "platform/ascii.h"

namespace {

constexpr char kMethod[] = "GET ";
constexpr int kMethodLength = sizeof kMethod - 1;
constexpr char kAbsoluteFormStart[] = "http";
constexpr int kAbsoluteFormStartLength = sizeof kAbsoluteFormStart - 1;

int skipSpaces(const char* buffer, int i, int total) {
  while (i < total && buffer[i] == ' ') {
    ++i;
  }
  return i;
}

int skipToSlash(const char* buffer, int i, int total) {
  while (i < total && buffer[i] != '/') {
    ++i;
  }
  return i;
}

// Where the line after the one holding `at` starts, or the end of the bytes.
std::size_t nextLineStart(std::string_view bytes, std::size_t at) {
  const std::size_t lineEnd = bytes.find('\n', at);
  return lineEnd == std::string_view::npos ? bytes.size() : lineEnd + 1;
}

bool startsEmptyLine(std::string_view bytes, std::size_t at) {
  return bytes.substr(at, 1) == "\n" || bytes.substr(at, 2) == "\r\n";
}

// Where the target of a "GET " request line starts, and where it ends: at a
// space or at the end of the received bytes. False when the line is refused.
bool findTarget(const char* buffer, int total, int& start, int& end) {
  int i = skipSpaces(buffer, 0, total);
  if (i + kMethodLength >= total || std::memcmp(buffer + i, kMethod, kMethodLength) != 0) {
    return false;
  }
  i = skipSpaces(buffer, i + kMethodLength, total);
  if (i + kAbsoluteFormStartLength < total &&
      std::memcmp(buffer + i, kAbsoluteFormStart, kAbsoluteFormStartLength) == 0) {
    // "http://host:port/path": on to the slash that begins the path.
    i = skipToSlash(buffer, i, total);
    for (int slash = 0; slash < 2; ++slash) {
      i = skipToSlash(buffer, i + 1, total);
    }
  }
  start = i;
  end = start;
  while (end < total && buffer[end] != ' ') {
    ++end;
  }
  return end > start;
}

}  // namespace

bool isOpen(const ClientRequest& request) {
  return request.socket != platform::kNoSocket;
}

char* parseRequestLine(char* buffer, int total) {
  int start = 0;
  int end = 0;
  if (!findTarget(buffer, total, start, end)) {
    return nullptr;
  }
  buffer[end] = '\0';
  return buffer + start;
}

bool parseRequest(ClientRequest& request, char* buffer, int total, char* headerRoom) {
  int start = 0;
  int end = 0;
  if (!findTarget(buffer, total, start, end)) {
    return false;
  }
  locateHeaders(request, buffer, total);
  const auto headersStart = static_cast<std::size_t>(request.headers.data() - buffer);
  const auto zeroAt = static_cast<std::size_t>(end);
  if (zeroAt >= headersStart && zeroAt < headersStart + request.headers.size()) {
    // A target without a protocol version runs on into the header lines, and
    // its zero would turn "Host: x" into "Host:" and a zero byte.
    std::memcpy(headerRoom, request.headers.data(), request.headers.size());
    request.headers = std::string_view(headerRoom, request.headers.size());
  }
  buffer[end] = '\0';
  request.target = buffer + start;
  return true;
}

void locateHeaders(ClientRequest& request, const char* buffer, int total) {
  const std::string_view received(buffer, static_cast<std::size_t>(total));
  const std::size_t start = nextLineStart(received, 0);
  std::size_t end = start;
  // A line without its line feed was cut off: "Host: wiki.lan" may be the
  // start of "Host: wiki.lan.example", so it is no header of its own.
  while (!startsEmptyLine(received, end) && received.find('\n', end) != std::string_view::npos) {
    end = nextLineStart(received, end);
  }
  request.headers = received.substr(start, end - start);
  request.headersCut = !startsEmptyLine(received, end);
}

bool findHeader(const ClientRequest& request, std::string_view name, std::string_view& value) {
  std::string_view rest = request.headers;
  while (!rest.empty()) {
    const std::size_t lineEnd = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, lineEnd);
    rest.remove_prefix(std::min(lineEnd + 1, rest.size()));
    if (line.size() <= name.size() || line[name.size()] != ':' ||
        !platform::equalIgnoringCase(line.substr(0, name.size()), name)) {
      continue;
    }
    std::string_view found = line.substr(name.size() + 1);
    found.remove_prefix(std::min(found.find_first_not_of(" \t"), found.size()));
    found = found.substr(0, found.find('\r'));
    value = found.substr(0, found.find_last_not_of(" \t") + 1);
    return true;
  }
  return false;
}
