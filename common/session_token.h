// Tokens of the interactive user, for starting programs in their session from the service.
#pragma once
#include <windows.h>

// The session user's token (WTSQueryUserToken), or failing that the token of one of their
// explorer.exe processes; null when neither can be had. The caller closes it.
HANDLE session_user_token(DWORD session);
// A primary copy of the token placed in the session, for CreateProcessAsUserW or impersonation;
// null when the duplication failed. The caller closes it.
HANDLE session_primary_token(HANDLE token, DWORD session);
// Starts command_line (and program, when not null) with the primary token on "winsta0\default",
// no inherited handles; gives the new process's id (pid may be null) and, when process is not
// null, its handle (the caller closes it). environment: a Unicode environment block for the new
// process, or null to pass on this process's own. False with GetLastError() set on failure.
bool create_process_in_session(HANDLE primary, const wchar_t* program, wchar_t* command_line,
                               const wchar_t* directory, DWORD* pid, HANDLE* process = nullptr,
                               void* environment = nullptr);
