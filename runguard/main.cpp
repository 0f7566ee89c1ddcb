// runguard: runs a protected command after the service has authorized it. Not built yet: it
// refuses every invocation with its usage text.
#include "common/console.h"

int wmain(int, wchar_t**) {
    console_eprint(L"Usage:\n  runguard run -- <exe> [args...]\n");
    return 1;
}
