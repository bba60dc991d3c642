// What the tests reach beyond http_server.h.
#pragma once

// Undoes a stop that a test asked for, so that the next test starts with the
// server running; the server itself never restarts its loop.
void letServerRunAgain();
