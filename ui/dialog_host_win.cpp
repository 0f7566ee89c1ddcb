#include "ui/dialog_host.h"

#include <string.h>

#include "common/handle.h"
#include "common/lang.h"
#include "ui/auth_dialog_state.h"
#include "ui/host_pipe.h"

namespace {

constexpr UINT pipe_poll_ms = 200;  // while a dialog is shown

AuthDialogContext context;
HostPipe host_pipe;
HostSlot* serving = nullptr;  // the slot whose dialog is shown
HWND serving_window = nullptr;

// While a dialog is shown the pipe is looked after from a timer, whose callback any message loop
// runs (a nested one too): new clients are taken, idle ones dropped, the broker's verdict is handed
// to the dialog, and a dialog whose caller has gone is closed.
void CALLBACK on_pipe_timer(HWND, UINT, UINT_PTR, DWORD) {
    host_pipe_poll(&host_pipe);
    if (serving && serving->has_verdict && serving_window && IsWindow(serving_window))
        SendMessageW(serving_window, msg_verdict, 0, 0);
    if (serving && serving->gone && serving_window && IsWindow(serving_window)) {
        HWND window = serving_window;
        serving_window = nullptr;
        DestroyWindow(window);  // nobody waits for its verdict any more
    }
}

// Shows the dialog for the request in the context and runs it to its end. The dialog speaks the
// language the broker named in the request's mode word: the host reads no settings file.
void show_dialog() {
    set_language(ui_request_language(context.request.mode));
    context.request.mode = ui_request_mode(context.request.mode);

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
        if (IsWindow(window)) {
            // The loop ended on a WM_QUIT the dialog did not post (any process may post one to this
            // thread): the dialog goes now, the round is refused, and the quit its end posts is
            // taken back so the next dialog's loop does not end at once.
            DestroyWindow(window);
            context.reply.approved = 0;
            context.decided = false;
            MSG quit;
            PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        }
    }
    UnregisterClassW(auth_dialog_class, instance);
}

void serve(HostSlot* slot) {
    memset(&context, 0, sizeof context);
    context.request = slot->request;
    serving = slot;
    show_dialog();
    serving = nullptr;
    // A round the broker decided needs no last word; otherwise the person gave up: approved 0
    // whatever the dialog's state, as only the broker's verdict passes a round.
    context.reply.magic = ui_auth_magic;
    context.reply.approved = 0;
    host_pipe_finish(&host_pipe, slot, context.decided ? nullptr : &context.reply);  // not sent when the caller has gone
}

}  // namespace

bool dialog_host_send_answer(const UiAuthReply* answer) { return serving && host_pipe_send(serving, answer); }

bool dialog_host_take_verdict(UiAuthReply* verdict) { return serving && host_pipe_take_verdict(serving, verdict); }

void run_dialog_host() {
    // Without its name and descriptor the host serves nothing (never a pipe anyone may open).
    while (!host_pipe_open(&host_pipe)) Sleep(host_create_retry_ms);
    // The broker that started this host is trying its pipe: the pipe comes first, then the
    // controls and fonts.
    host_pipe_poll(&host_pipe);
    prepare_ui();
    for (;;) {
        HostSlot* slot = host_pipe_take_request(&host_pipe);
        if (slot) {
            serve(slot);
        } else {
            host_pipe_wait(&host_pipe, INFINITE);
        }
    }
}
