#include <windows.h>

#include "service/approval_cache.h"

namespace {

ApprovalTable g_table;
CRITICAL_SECTION g_lock;
INIT_ONCE g_init_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK init_cache(INIT_ONCE*, void*, void**) {
    InitializeCriticalSection(&g_lock);
    approval_table_clear(&g_table);
    return TRUE;
}

// Each operation reads the tick once, before it takes the lock.
struct CacheLock {
    CacheLock() {
        InitOnceExecuteOnce(&g_init_once, init_cache, nullptr, nullptr);
        EnterCriticalSection(&g_lock);
    }
    ~CacheLock() { LeaveCriticalSection(&g_lock); }
};

}  // namespace

bool approval_cache_lookup(const AccountSid* user, const wchar_t* path, uint32_t) {
    uint64_t now = GetTickCount64();
    CacheLock lock;
    return approval_table_lookup(&g_table, user, path, now);
}

void approval_cache_insert(const AccountSid* user, const wchar_t* path, uint32_t seconds) {
    uint64_t now = GetTickCount64();
    CacheLock lock;
    approval_table_insert(&g_table, user, path, seconds, now);
}

void approval_cache_clear() {
    CacheLock lock;
    approval_table_clear(&g_table);
}
