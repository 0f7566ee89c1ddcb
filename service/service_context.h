// What every thread of the service shares: filled before any thread starts, read-only afterwards.
#pragma once
#include <windows.h>

#include "common/policy.h"
#include "common/settings.h"
#include "service/session_lock.h"

struct ServiceContext {
    Settings settings;
    Policy policy;
    // One lock per session, held for the whole of every MFA round of that session: one dialog at
    // a time in each session, and no session waits for another's.
    SessionLocks round_locks;
};

// The one context of this process (static lifetime: it outlives every thread that uses it).
ServiceContext* service_context();
// Signalled on stop or shutdown; loops of the service's threads poll it.
HANDLE service_stop_event();
// Threads that use the context or the stop event outside the service run's bounded waits
// (request handlers) announce themselves, so shut-down never frees what they still use.
void service_worker_enter();
void service_worker_leave();
long service_workers_in_flight();
