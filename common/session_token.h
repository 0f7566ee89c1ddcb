// Tokens of the interactive user, for starting programs in their session from the service.
#pragma once
#include <windows.h>

// The token of the user logged on in the session (WTSQueryUserToken; LocalSystem may ask), or null
// when nobody is logged on there or the caller may not ask. The caller closes it. A process that
// merely runs in the session (an explorer.exe, say) is no proof of who the session's user is, so
// nothing else is taken instead.
HANDLE session_user_token(DWORD session);
// A primary copy of the token placed in the session, for CreateProcessAsUserW or impersonation;
// null when the duplication failed. The caller closes it.
HANDLE session_primary_token(HANDLE token, DWORD session);
// Starts command_line (and program, when not null) with the primary token on "winsta0\default",
// no inherited handles, and the environment of the token's user (CreateEnvironmentBlock, nothing
// of the caller's own); gives the new process's id (pid may be null) and, when process is not
// null, its handle (the caller closes it). False with GetLastError() set on failure, also when
// the user's environment cannot be built: the program is never started with the caller's.
bool create_process_in_session(HANDLE primary, const wchar_t* program, wchar_t* command_line,
                               const wchar_t* directory, DWORD* pid, HANDLE* process = nullptr);
// As create_process_in_session, with this process's own token (no privilege needed), for a caller
// that is itself the session's user.
bool create_process_as_self(const wchar_t* program, wchar_t* command_line, const wchar_t* directory, DWORD* pid,
                            HANDLE* process = nullptr);
