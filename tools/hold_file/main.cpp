// Test tool, never shipped: holds a file open the way another program that reads it would (read
// access, others may only read too), so that replacing or deleting it fails as it does on Windows
// while a program has it open. Prints "held" once the file is open, then keeps it open until its
// standard input ends or the process is ended.
//   hold_file PATH
// Exit code 0 after the input ended, 1 when the file could not be opened, 2 on usage.
#include <windows.h>

#include "common/console.h"
#include "common/handle.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        console_eprint(L"usage: hold_file PATH\n");
        return 2;
    }
    OwnedHandle file(CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        console_eprint(L"hold_file: cannot open %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    console_print(L"held\n");
    char buffer[64];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0) {
    }
    return 0;
}
