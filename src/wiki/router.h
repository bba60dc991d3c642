// Chooses the wiki operation for a request target.
#pragma once

#include "server/http_server.h"

void handleWikiRequest(ClientRequest& request);
