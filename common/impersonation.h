// Going back to the service's own token after acting as a user.
#pragma once
#include <windows.h>

// Ends the calling thread's impersonation. A thread that cannot go back must not go on as someone
// else, so the process ends instead (the service control manager restarts the service).
inline void revert_or_end() {
    if (!RevertToSelf()) TerminateProcess(GetCurrentProcess(), ERROR_CANNOT_IMPERSONATE);
}
