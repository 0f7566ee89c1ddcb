// Owners for service-control-manager handles and for LocalAlloc'ed memory (security descriptors,
// SDDL texts), so no path of the service-control code leaks them.
#pragma once
#include <windows.h>

#include "common/handle.h"

struct ScHandleTraits {
    using value_type = SC_HANDLE;
    static SC_HANDLE empty() { return nullptr; }
    static bool valid(SC_HANDLE h) { return h != nullptr; }
    static void close(SC_HANDLE h) { CloseServiceHandle(h); }
};

struct LocalMemoryTraits {
    using value_type = HLOCAL;
    static HLOCAL empty() { return nullptr; }
    static bool valid(HLOCAL h) { return h != nullptr; }
    static void close(HLOCAL h) { LocalFree(h); }
};

using OwnedService = Owned<ScHandleTraits>;
using OwnedLocal = Owned<LocalMemoryTraits>;
