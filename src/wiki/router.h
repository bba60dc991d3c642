// Chooses the wiki operation for a request target.
#pragma once

#include "server/request.h"

void handleWikiRequest(ClientRequest& request);
