// What every thread of the service shares: filled before any thread starts, read-only afterwards.
#pragma once
#include <windows.h>

#include "common/policy.h"
#include "common/settings.h"

struct ServiceContext {
    Settings settings;
    Policy policy;
    // Held for the whole of every MFA round, so at most one dialog is asked for at a time.
    CRITICAL_SECTION auth_lock;
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
