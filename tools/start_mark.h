// The start mark of our test programs. A test runner that starts one of them under Wine names a
// file in SENTREL_START_MARK; the program creates it before anything else. A run that ends without
// the mark never reached the program (Wine could not start it), which the runner reports as an
// infrastructure failure and tries once more, never as the program's own result.
#pragma once

#include <windows.h>

#include "common/handle.h"

inline void write_start_mark() {
    wchar_t path[MAX_PATH];
    DWORD cch = GetEnvironmentVariableW(L"SENTREL_START_MARK", path, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) return;
    OwnedHandle mark(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}
