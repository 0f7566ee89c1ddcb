#include "ui/dialog_host.h"

#include <string.h>

#include "common/handle.h"
#include "common/lang.h"
#include "ui/auth_dialog_state.h"

namespace {

constexpr size_t settings_path_cch = 1024;
constexpr DWORD pipe_retry_ms = 500;

AuthDialogContext context;

bool read_request(HANDLE pipe, UiAuthRequest* request) {
    DWORD read = 0;
    return ReadFile(pipe, request, sizeof *request, &read, nullptr) && read == sizeof *request &&
           request->magic == ui_auth_magic;
}

// Shows the dialog for the request in the context and runs it to its end.
void show_dialog(const wchar_t* settings_path) {
    load_settings(settings_path, &context.settings);
    set_language(context.settings.language);

    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class = {};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = auth_dialog_proc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.lpszClassName = auth_dialog_class;
    RegisterClassW(&window_class);

    HWND window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_DLGMODALFRAME, auth_dialog_class, text_for_id(txt_caption),
                                  WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT, CW_USEDEFAULT, 440, 320, nullptr, nullptr,
                                  instance, &context);
    if (window) {
        ShowWindow(window, SW_SHOW);
        UpdateWindow(window);
        SetForegroundWindow(window);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    UnregisterClassW(auth_dialog_class, instance);
}

void serve(HANDLE pipe, const wchar_t* settings_path) {
    static UiAuthRequest request;
    memset(&request, 0, sizeof request);
    if (!read_request(pipe, &request)) return;  // dropped: no reply, no disconnect
    memset(&context, 0, sizeof context);
    context.request = request;
    show_dialog(settings_path);

    context.reply.magic = ui_auth_magic;
    DWORD written = 0;
    WriteFile(pipe, &context.reply, sizeof context.reply, &written, nullptr);  // a client gone is ignored
    FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
}

}  // namespace

void run_dialog_host() {
    static wchar_t settings_path[settings_path_cch] = L"";
    path_beside_exe(settings_file_name, settings_path, settings_path_cch);
    bool prepared = false;
    for (;;) {
        OwnedHandle pipe(CreateNamedPipeW(ui_pipe_name, PIPE_ACCESS_DUPLEX,
                                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                          sizeof(UiAuthReply), sizeof(UiAuthRequest), ui_reply_timeout_ms, nullptr));
        if (!pipe) {
            Sleep(pipe_retry_ms);
            continue;
        }
        if (!prepared) {
            prepare_ui();
            prepared = true;
        }
        if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) continue;
        serve(pipe.get(), settings_path);
    }
}
