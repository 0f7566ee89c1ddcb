// SentrelUI: the dialog host (--pipe) and the management console.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include "common/handle.h"
#include "common/lang.h"
#include "common/text.h"
#include "common/ui_broker.h"
#include "ui/dialog_host.h"
#include "ui/dpi.h"
#include "ui/ui_fonts.h"
#include "ui/ui_mode.h"

namespace {

constexpr unsigned txt_admin_required = 100;
constexpr unsigned txt_product_title = 103;
constexpr size_t module_path_cch = 1024;

bool process_is_elevated() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    OwnedHandle token(raw);
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

// Console mode needs an elevated process: a plain one asks for elevation with the same arguments.
// Returns the exit code when this process is to end here, or -1 to go on.
int elevation_rule(const wchar_t* command_line) {
    if (process_is_elevated()) return -1;
    wchar_t self[module_path_cch] = L"";
    GetModuleFileNameW(nullptr, self, module_path_cch);
    INT_PTR result = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"runas", self, command_line, nullptr, SW_SHOW));
    if (result > 32) return 0;
    MessageBoxW(nullptr, text_for_id(txt_admin_required), text_for_id(txt_product_title), MB_OK | MB_ICONERROR);
    return 1;
}

// The console is not built yet: say so plainly rather than show an empty window.
int run_console() {
    set_language(default_language());
    MessageBoxW(nullptr,
                is_english_code(current_language())
                    ? L"The Sentrel management console is not available yet."
                    : L"Sentrel 管理控制台尚不可用。",
                text_for_id(txt_product_title), MB_OK | MB_ICONINFORMATION);
    return 1;
}

}  // namespace

void prepare_ui() {
    use_fixed_layout_dpi_context();  // before the fonts and the first window
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    create_ui_fonts();
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t* command_line, int) {
    bool pipe = is_pipe_mode(command_line);
    if (!pipe) {
        int code = elevation_rule(command_line);
        if (code >= 0) return code;
    }
    if (pipe) {
        // One dialog host per session: the mutex lives in the session's own namespace, where no
        // user of another session can create it first. The broker that started this host tries
        // its pipe at once: the pipe comes first, then the controls and fonts.
        HANDLE singleton = CreateMutexW(nullptr, TRUE, ui_host_mutex_name);
        if (singleton && GetLastError() != ERROR_ALREADY_EXISTS) run_dialog_host();  // never returns
        if (singleton) CloseHandle(singleton);
        return 0;
    }
    prepare_ui();
    int code = run_console();
    delete_ui_fonts();
    return code;
}
