// Whether a session's round lock is held, seen from another thread (the holder's own thread
// would not find out: it is not re-entrant, and a wait of its own would only time out).
#pragma once
#include <windows.h>

#include "service/session_lock.h"

struct SessionLockProbe {
    SessionLocks* locks;
    uint32_t session;
};

inline DWORD WINAPI probe_session_lock(void* parameter) {
    SessionLockProbe* probe = static_cast<SessionLockProbe*>(parameter);
    if (session_lock_enter(probe->locks, probe->session, 0, nullptr) != LockWait::taken) return 1;
    session_lock_leave(probe->locks, probe->session);
    return 0;
}

inline bool session_lock_held(SessionLocks* locks, uint32_t session) {
    SessionLockProbe probe = {locks, session};
    HANDLE thread = CreateThread(nullptr, 0, probe_session_lock, &probe, 0, nullptr);
    if (!thread) return false;
    WaitForSingleObject(thread, INFINITE);
    DWORD held = 0;
    GetExitCodeThread(thread, &held);
    CloseHandle(thread);
    return held == 1;
}
