// What the connection loop's received bytes say: the target of the request
// line and the header lines that follow it.
#pragma once

#include <string_view>

#include "server/http_server.h"

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

// ASCII letters match in either case, as in header names and host names.
bool equalIgnoringCase(std::string_view a, std::string_view b);
