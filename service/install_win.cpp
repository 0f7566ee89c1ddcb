#include "service/install.h"

#include "common/console.h"

// Registration and the controlled uninstall are not built yet: say so, never pretend success.
int install_service() {
    console_print(L"install: not available yet in this build.\n");
    return 1;
}

int uninstall_service(int, wchar_t**) {
    console_print(L"uninstall: not available yet in this build.\n");
    return 1;
}
