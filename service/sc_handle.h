// Owner for service-control-manager handles, so no path of the service-control code leaks them
// (OwnedLocal, for security descriptors and SDDL texts, is in common/handle.h).
#pragma once
#include <windows.h>

#include "common/handle.h"

struct ScHandleTraits {
    using value_type = SC_HANDLE;
    static SC_HANDLE empty() { return nullptr; }
    static bool valid(SC_HANDLE h) { return h != nullptr; }
    static void close(SC_HANDLE h) { CloseServiceHandle(h); }
};

using OwnedService = Owned<ScHandleTraits>;
