// A buffer whose end touches a page that may not be accessed (VirtualAlloc + PAGE_NOACCESS), so a
// read or write one byte past it faults at once (the test process ends) instead of passing unseen.
#pragma once
#include <windows.h>

#include <stddef.h>
#include <stdint.h>

struct GuardedBuffer {
    void* base;  // the whole reservation, for guarded_free
    void* data;  // cb bytes ending right before the guard page
};

inline GuardedBuffer guarded_alloc(size_t cb) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    size_t page = info.dwPageSize;
    size_t pages = (cb + page - 1) / page;
    uint8_t* base =
        static_cast<uint8_t*>(VirtualAlloc(nullptr, (pages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!base) return {nullptr, nullptr};
    DWORD old = 0;
    if (!VirtualProtect(base + pages * page, page, PAGE_NOACCESS, &old)) {
        VirtualFree(base, 0, MEM_RELEASE);
        return {nullptr, nullptr};
    }
    return {base, base + pages * page - cb};
}

inline void guarded_free(GuardedBuffer* b) {
    if (b->base) VirtualFree(b->base, 0, MEM_RELEASE);
    *b = {nullptr, nullptr};
}
