// The executables link with -municode, so the suite's entry point is wmain; gtest_main's main
// would never be called.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/handle.h"

// The test runner's wrapper tells "Wine never started us" from a test result by this mark,
// written before anything else runs.
static void write_start_mark() {
    wchar_t path[MAX_PATH];
    DWORD cch = GetEnvironmentVariableW(L"SENTREL_START_MARK", path, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH) return;
    OwnedHandle mark(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

int wmain(int argc, wchar_t** argv) {
    write_start_mark();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
