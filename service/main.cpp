// SentrelSvc: the protection service, its foreground run and its own installer.
#include <windows.h>

#include "common/console.h"
#include "common/text.h"
#include "service/install.h"
#include "service/service.h"
#include "service/stop.h"

int wmain(int argc, wchar_t** argv) {
    const wchar_t* command = argc > 1 ? argv[1] : L"";
    if (argc > 1 && text_equal_ascii_nocase(command, L"install")) return install_service();
    if (argc > 1 && text_equal_ascii_nocase(command, L"uninstall")) return uninstall_service(argc, argv);
    if (argc > 1 && text_equal_ascii_nocase(command, L"run")) return run_in_console();
    if (argc > 1 && text_equal_ascii_nocase(command, L"stop")) return stop_service_command();
    if (run_service_dispatcher()) return 0;
    console_print(L"用法: SentrelSvc.exe [install|uninstall|run]\n");
    return 1;
}
