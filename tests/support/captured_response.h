// Runs a handler against one end of a socket pair and returns every byte it
// sent, so handlers can be checked without a server or a network.
#pragma once

#include <functional>
#include <string>

#include "server/request.h"

std::string captureResponse(const std::function<void(ClientRequest&)>& handler);
