// The HTTP server: start-up, the connection loop and the way to end it.
#pragma once

#include "server/request.h"

// Called once for every request that passed the request line's checks, after
// the status line went out; it answers through sendAll or sendHtmlPage.
using RequestHandler = void (*)(ClientRequest& request);

// Runs once networking is up and before the port is opened, while the process
// may still read and make files anywhere.
using StartupStep = void (*)();

// Starts up, serves until stopped and returns the process exit code. Once it
// listens, the process is confined to `folder` (platform::confineToPagesFolder).
int runServer(RequestHandler handler, StartupStep prepare, const char* folder);

// Ends the loop once the connection being served is closed, as SIGTERM does;
// nothing undoes it.
void askServerToStop();

// False once a stop was asked for; the loop reads it at the top of every turn.
bool serverRunning();
