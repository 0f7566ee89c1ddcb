// The service's side of \\.\pipe\SentrelAuth.
#pragma once
#include <windows.h>

#include "service/service_context.h"

// Who may open \\.\pipe\SentrelAuth: LocalSystem with full access, administrators to read and
// write, nobody else; network logons are denied outright.
constexpr const wchar_t* auth_pipe_sddl = L"D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GRGW;;;BA)";
// The longest a connected client may take to send its request, or to take its reply and go.
constexpr DWORD auth_pipe_io_timeout_ms = 5000;

// Creates the first pipe instance, so clients find the pipe when this returns, and starts the
// listener thread; it ends once the stop event is signalled (after a wake-up).
HANDLE start_pipe_listener(ServiceContext* context);
// One empty connection, identification level only, while an instance of ours exists (the listener
// also ends on the stop event by itself).
void wake_pipe_listener();
