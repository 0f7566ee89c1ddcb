// The service's side of \\.\pipe\SentrelAuth.
#pragma once
#include <windows.h>

#include "service/service_context.h"

// Creates the first pipe instance, so clients find the pipe when this returns, and starts the
// listener thread; it ends once the stop event is signalled (after a wake-up).
HANDLE start_pipe_listener(ServiceContext* context);
// Ends the listener's blocking wait for a client: one empty connection.
void wake_pipe_listener();
