// The request as received: the connection it came on, the target of its
// request line and the header lines that follow it.
#pragma once

#include <string_view>

#include "platform/platform.h"

// The most bytes of one request that are read; the rest is dropped.
inline constexpr int kRequestBufferSize = 655360;

// One connection. The main loop owns the single instance; a handler borrows
// it for its call.
struct ClientRequest {
  platform::SocketHandle socket = platform::kNoSocket;
  // Zero-terminated, inside the request buffer; query string included.
  char* target = nullptr;
  // The whole header lines after the request line, up to the empty line that
  // ends them, as received; inside the request buffer and never past the
  // bytes received, or a copy of them where the target's zero fell among them.
  std::string_view headers;
  // No empty line ended the header block among the bytes read (the buffer
  // filled, or a pause ended the request), so later lines may be missing. A
  // line cut off at the end is left out of `headers`.
  bool headersCut = false;
};

bool isOpen(const ClientRequest& request);

// Finds the target of a "GET " request line among the first `total` bytes,
// writes its terminating zero in place (at buffer[total] at the most) and
// returns it; nullptr when the request line is refused.
char* parseRequestLine(char* buffer, int total);

// The target, as above, and the header lines, as they arrived: where the
// target runs on into them (a request line without a protocol version), they
// are read from a copy in `headerRoom` (room for `total` bytes), which keeps
// the byte that the target's zero replaced. False when the line is refused.
bool parseRequest(ClientRequest& request, char* buffer, int total, char* headerRoom);

// Points the request's header view at the lines that follow the request line
// among the first `total` bytes of the buffer.
void locateHeaders(ClientRequest& request, const char* buffer, int total);

// The value of the first header line of this name (matched in any case): what
// follows the colon, without the spaces and tabs around it. False when absent.
bool findHeader(const ClientRequest& request, std::string_view name, std::string_view& value);
