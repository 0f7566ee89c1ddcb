// Entry roles of SentrelSvc: service mode under the service control manager, and the console run.
#pragma once

constexpr const wchar_t* service_name = L"SentrelSvc";

// Connects to the service control manager; false when not started by it.
bool run_service_dispatcher();
// The service body: load, start threads, wait for the stop event, shut down. Shared by both modes.
void service_run();
// "run": singleton check, then the service body in the foreground. Returns the exit code.
int run_in_console();
