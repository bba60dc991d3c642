// The form decoder stops at the value's end, never grows the value, and
// decodes its own percent-encoding of any bytes back to the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wiki/pages.h"

namespace {

std::string percentEncode(const std::string& bytes) {
  std::string encoded;
  for (const unsigned char byte : bytes) {
    char escape[4];
    std::snprintf(escape, sizeof escape, "%%%02X", byte);
    encoded += escape;
  }
  return encoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The decoder reads a zero-terminated target, as the server hands it over.
  const std::string value(reinterpret_cast<const char*>(data), size);
  const std::string decoded = decodeFormValue(value.c_str());
  const std::size_t valueLength = std::strcspn(value.c_str(), "&");
  if (decoded.size() > valueLength) {
    std::abort();
  }
  if (decodeFormValue(percentEncode(decoded).c_str()) != decoded) {
    std::abort();
  }
  if (decodeFormValue((percentEncode(decoded) + "&eof=1").c_str()) != decoded) {
    std::abort();
  }
  return 0;
}
