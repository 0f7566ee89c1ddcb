// short_path: a test program that prints the short (8.3) form of a path, as the system gives it.
//   short_path <path>      exit 0 and the short path on standard output; 1 when there is none.
#include <windows.h>

#include "common/console.h"

int wmain(int argc, wchar_t** argv) {
    wchar_t short_path[1024];
    DWORD cch = argc == 2 ? GetShortPathNameW(argv[1], short_path, 1024) : 0;
    if (cch == 0 || cch >= 1024) return 1;
    console_print(L"%s\n", short_path);
    return 0;
}
