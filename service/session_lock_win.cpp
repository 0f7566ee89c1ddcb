#include "service/session_lock.h"

namespace {

// The slot in use for the session, or null. The caller holds the guard.
SessionLockSlot* slot_of(SessionLocks* locks, uint32_t session) {
    for (SessionLockSlot& slot : locks->slots) {
        if (slot.refs != 0 && slot.session == session) return &slot;
    }
    return nullptr;
}

// One holder or waiter less; the last closes the slot. The caller holds the guard.
void drop_ref(SessionLockSlot* slot) {
    if (--slot->refs != 0) return;
    CloseHandle(slot->free_event);
    slot->free_event = nullptr;
}

}  // namespace

void session_locks_init(SessionLocks* locks) {
    InitializeCriticalSection(&locks->guard);
    for (SessionLockSlot& slot : locks->slots) slot = SessionLockSlot{0, 0, nullptr};
}

void session_locks_destroy(SessionLocks* locks) {
    for (SessionLockSlot& slot : locks->slots) {
        if (slot.free_event) CloseHandle(slot.free_event);
        slot = SessionLockSlot{0, 0, nullptr};
    }
    DeleteCriticalSection(&locks->guard);
}

LockWait session_lock_enter(SessionLocks* locks, uint32_t session, DWORD timeout_ms, HANDLE abort) {
    EnterCriticalSection(&locks->guard);
    SessionLockSlot* slot = slot_of(locks, session);
    if (!slot) {
        for (SessionLockSlot& free_slot : locks->slots) {
            if (free_slot.refs == 0) {
                slot = &free_slot;
                break;
            }
        }
        if (slot) {
            slot->free_event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
            if (!slot->free_event) slot = nullptr;
        }
        if (!slot) {
            LeaveCriticalSection(&locks->guard);
            return LockWait::busy;  // fail closed: no round without its lock
        }
        slot->session = session;
    }
    ++slot->refs;
    HANDLE free_event = slot->free_event;  // stays open while this reference lasts
    LeaveCriticalSection(&locks->guard);

    HANDLE events[2] = {free_event, abort};
    DWORD waited = WaitForMultipleObjects(abort ? 2 : 1, events, FALSE, timeout_ms);
    if (waited == WAIT_OBJECT_0) return LockWait::taken;

    EnterCriticalSection(&locks->guard);
    drop_ref(slot);
    LeaveCriticalSection(&locks->guard);
    return waited == WAIT_OBJECT_0 + 1 ? LockWait::aborted : LockWait::busy;
}

void session_lock_leave(SessionLocks* locks, uint32_t session) {
    EnterCriticalSection(&locks->guard);
    SessionLockSlot* slot = slot_of(locks, session);
    if (slot) {
        SetEvent(slot->free_event);
        drop_ref(slot);
    }
    LeaveCriticalSection(&locks->guard);
}
