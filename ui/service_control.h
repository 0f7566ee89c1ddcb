// The console's side of the protection service: its state as the service control manager reports
// it, whether protection is on (the files are guarded), and elevated runs of SentrelSvc.exe.
#pragma once
#include <windows.h>

constexpr const wchar_t* sentrel_service_name = L"SentrelSvc";
// Held by a foreground `SentrelSvc.exe run`, which guards the files as the service does.
constexpr const wchar_t* service_run_mutex_name = L"Global\\SentrelSvcSingleton";
constexpr DWORD service_command_wait_ms = 15000;

// Running only when the service could be opened and reports SERVICE_RUNNING.
bool service_running();
// True while the service body may be guarding the two JSON files: the service exists and is not
// stopped (starting, running, pausing or stopping), its state cannot be read, or a foreground run
// holds its mutex. A change written then would be refused (Windows) or put back (any platform).
bool protection_active();

// Waits (polling, at most timeout_ms) while the service is starting or stopping, so what is shown
// next is where it settled. Returns at once when it is not installed.
void wait_while_pending(DWORD timeout_ms);

// Starts "SentrelSvc.exe <parameters>" beside this program with the verb "runas", hidden. True when
// it started; *process is then its handle (the caller closes it) or null when the shell gave none.
// False with *error set otherwise: ERROR_CANCELLED when the person declined the elevation.
bool start_service_command(const wchar_t* parameters, HANDLE* process, DWORD* error);
