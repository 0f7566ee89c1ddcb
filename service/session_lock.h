// One round lock per session. An MFA round (a stopped program's or a command's) holds its
// session's lock for its whole length, so each session asks one thing at a time, while the rounds
// of other sessions go on untouched: a dialog host that never answers in one session delays no
// other session's program or command. Waiting is bounded where the caller says so and ends at
// once when the caller's abort event is signalled (a command whose client has gone).
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>

constexpr size_t session_lock_slots = 64;

struct SessionLockSlot {
    uint32_t session;
    uint32_t refs;      // holder and waiters; 0: the slot is free
    HANDLE free_event;  // auto-reset, signalled while nobody holds the lock; null when the slot is free
};

struct SessionLocks {
    CRITICAL_SECTION guard;  // held only to find or change a slot, never while waiting
    SessionLockSlot slots[session_lock_slots];
};

enum class LockWait {
    taken,    // the caller holds the session's lock; it calls session_lock_leave
    busy,     // not within timeout_ms (or no slot could be had: as busy, never taken)
    aborted,  // the abort event was signalled first
};

void session_locks_init(SessionLocks* locks);
// Only once nobody holds or waits for any lock.
void session_locks_destroy(SessionLocks* locks);
// Waits at most timeout_ms (INFINITE: no bound) for the session's lock; abort may be null.
LockWait session_lock_enter(SessionLocks* locks, uint32_t session, DWORD timeout_ms, HANDLE abort);
void session_lock_leave(SessionLocks* locks, uint32_t session);
