// SentrelUI: the dialog host (--pipe) and the management console. Neither mode is built yet; the
// program says so and ends. It never answers the dialog pipe, so nothing is ever approved by it.
#include <windows.h>

#include "common/lang.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
    set_language(default_language());
    MessageBoxW(nullptr, L"Sentrel: the management console is not available in this build.", text_for_id(0),
                MB_OK | MB_ICONINFORMATION);
    return 1;
}
