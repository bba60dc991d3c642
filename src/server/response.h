// The answer to a request: every byte after the request is read leaves the
// process through these.
#pragma once

#include <cstdint>
#include <string>

#include "server/request.h"

// Sends n bytes; a failed send marks the connection failed (socket := none).
void sendAll(ClientRequest& request, const char* bytes, std::int64_t n);

// Frames the body and sends it after the header: six runs of bytes (the
// header's three, the frame's opening, the body, the frame's closing) that
// leave as though they stood side by side, none of them copied.
void sendHtmlPage(ClientRequest& request, const std::string& body);
