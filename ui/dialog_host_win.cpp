#include "ui/dialog_host.h"

#include <string.h>

#include "common/handle.h"
#include "common/lang.h"
#include "ui/auth_dialog_state.h"
#include "ui/host_pipe.h"

namespace {

constexpr size_t settings_path_cch = 1024;
constexpr UINT pipe_poll_ms = 200;  // while a dialog is shown

AuthDialogContext context;
HostPipe host_pipe;
HostSlot* serving = nullptr;  // the slot whose dialog is shown
HWND serving_window = nullptr;

// While a dialog is shown the pipe is looked after from a timer, whose callback any message loop
// runs (a nested one too): new clients are taken, idle ones dropped, and a dialog whose caller has
// gone is closed.
void CALLBACK on_pipe_timer(HWND, UINT, UINT_PTR, DWORD) {
    host_pipe_poll(&host_pipe);
    if (serving && serving->gone && serving_window && IsWindow(serving_window)) {
        HWND window = serving_window;
        serving_window = nullptr;
        DestroyWindow(window);  // nobody waits for its verdict any more
    }
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
        serving_window = window;
        UINT_PTR timer = SetTimer(nullptr, 0, pipe_poll_ms, on_pipe_timer);
        ShowWindow(window, SW_SHOW);
        UpdateWindow(window);
        SetForegroundWindow(window);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (timer) KillTimer(nullptr, timer);
        serving_window = nullptr;
    }
    UnregisterClassW(auth_dialog_class, instance);
}

void serve(HostSlot* slot, const wchar_t* settings_path) {
    memset(&context, 0, sizeof context);
    context.request = slot->request;
    serving = slot;
    show_dialog(settings_path);
    serving = nullptr;
    context.reply.magic = ui_auth_magic;
    host_pipe_finish(&host_pipe, slot, &context.reply);  // not sent when the caller has gone
}

}  // namespace

void run_dialog_host() {
    static wchar_t settings_path[settings_path_cch] = L"";
    path_beside_exe(settings_file_name, settings_path, settings_path_cch);
    // Without its name and descriptor the host serves nothing (never a pipe anyone may open).
    while (!host_pipe_open(&host_pipe)) Sleep(host_create_retry_ms);
    // The broker that started this host is trying its pipe: the pipe comes first, then the
    // controls and fonts.
    host_pipe_poll(&host_pipe);
    prepare_ui();
    for (;;) {
        HostSlot* slot = host_pipe_take_request(&host_pipe);
        if (slot) {
            serve(slot, settings_path);
        } else {
            host_pipe_wait(&host_pipe, INFINITE);
        }
    }
}
