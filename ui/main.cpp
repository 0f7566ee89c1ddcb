// SentrelUI: the dialog host (--pipe) and the management console. Neither mode is built yet.
// The dialog host ends at once without serving the pipe, so whoever asked gets "cannot reach the
// dialog" and refuses: nothing is ever approved without a real MFA pass. The console says it is
// not available.
#include <windows.h>
#include <shellapi.h>

#include "common/lang.h"
#include "common/text.h"

namespace {

bool pipe_mode() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    bool found = argv && argc > 1 && text_equal_ascii_nocase(argv[1], L"--pipe");
    LocalFree(argv);
    return found;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
    if (pipe_mode()) return 1;
    set_language(default_language());
    MessageBoxW(nullptr, L"Sentrel: the management console is not available in this build.", text_for_id(0),
                MB_OK | MB_ICONINFORMATION);
    return 1;
}
