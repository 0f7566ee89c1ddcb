// Test tool, never shipped: prints the owner and DACL of each file or folder as SDDL, one line
// each, as the system reads them back ("O:...D:..."). Exit code 0, or 1 when one could not be read.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "common/console.h"
#include "common/handle.h"

int wmain(int argc, wchar_t** argv) {
    int code = 0;
    for (int i = 1; i < argc; ++i) {
        const SECURITY_INFORMATION info = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
        OwnedLocal sd;
        OwnedLocal text;
        DWORD error = GetNamedSecurityInfoW(argv[i], SE_FILE_OBJECT, info, nullptr, nullptr, nullptr, nullptr,
                                            reinterpret_cast<PSECURITY_DESCRIPTOR*>(sd.put()));
        if (error == ERROR_SUCCESS &&
            !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.get(), SDDL_REVISION_1, info,
                                                                  reinterpret_cast<LPWSTR*>(text.put()), nullptr))
            error = GetLastError();
        if (error != ERROR_SUCCESS) {
            console_print(L"error %lu\n", error);
            code = 1;
            continue;
        }
        console_print(L"%s\n", static_cast<const wchar_t*>(text.get()));
    }
    return code;
}
