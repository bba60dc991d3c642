// The request-line parser never reads or writes outside the received bytes
// and the spare byte, and any target it finds lies inside them; so do the
// header lines and every header value found among them. The header lines read
// the bytes as received, whatever the target's zero overwrote.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "server/request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > static_cast<std::size_t>(kRequestBufferSize)) {
    return 0;
  }
  // Exactly the received bytes and one spare byte, so ASan sees any overrun.
  const std::string received(reinterpret_cast<const char*>(data), size);
  std::vector<char> buffer(data, data + size);
  buffer.push_back('#');
  char* const begin = buffer.data();
  const char* target = parseRequestLine(begin, static_cast<int>(size));
  if (target == nullptr) {
    return 0;
  }
  // The target runs from its start to the first space (or the end of the
  // received bytes), where the zero now stands; it may hold zero bytes itself.
  if (target < begin || target >= begin + size) {
    std::abort();
  }
  const std::size_t start = static_cast<std::size_t>(target - begin);
  const std::size_t end = std::min(received.find(' ', start), size);
  const std::size_t first = received.find_first_not_of(' ');
  const bool startsWithGet = first != std::string::npos && received.compare(first, 4, "GET ") == 0;
  if (end == start || buffer[end] != '\0' || !startsWithGet) {
    std::abort();
  }
  ClientRequest intact;
  locateHeaders(intact, received.data(), static_cast<int>(size));
  std::vector<char> again(data, data + size);
  again.push_back('#');
  std::vector<char> headerRoom(size);
  ClientRequest request;
  if (!parseRequest(request, again.data(), static_cast<int>(size), headerRoom.data()) ||
      request.target != again.data() + start || request.headers != intact.headers ||
      request.headersCut != intact.headersCut) {
    std::abort();
  }
  std::string_view value;
  const auto inside = [&](std::string_view view) {
    const auto within = [&](const char* from, std::size_t length) {
      return view.data() >= from && view.data() + view.size() <= from + length;
    };
    return view.empty() || within(again.data(), size) || within(headerRoom.data(), size);
  };
  if (!inside(request.headers) || (findHeader(request, "Host", value) && !inside(value))) {
    std::abort();
  }
  return 0;
}
