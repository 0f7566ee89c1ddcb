// The executables link with -municode, so the suite's entry point is wmain; gtest_main's main
// would never be called.
#include <gtest/gtest.h>
#include <windows.h>

#include "tools/start_mark.h"

int wmain(int argc, wchar_t** argv) {
    write_start_mark();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
