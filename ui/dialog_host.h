// The dialog host: the server end of its session's \\.\pipe\SentrelUI.<session>. Requests are
// served one at a time: one UiAuthRequest, one authentication dialog, one UiAuthReply.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "common/settings.h"
#include "common/ui_broker.h"

struct PushJob;

// One dialog round; the host clears it before every request and hands it to the dialog window.
struct AuthDialogContext {
    UiAuthRequest request;
    UiAuthReply reply;
    Settings settings;
    uint32_t code_requested;
    uint32_t polling;
    PushJob* push_job;  // the push workers' job (and thread); null outside push mode
    HWND dialog_window;
    HICON dialog_icon;
    bool dialog_icon_owned;
    HWND digit_boxes[6];
    int32_t resend_countdown;
};

constexpr const wchar_t* auth_dialog_class = L"SNAuthDlg";

// Serves the pipe for as long as the process lives.
[[noreturn]] void run_dialog_host();

// Common controls and the UI fonts, once per process (main.cpp).
void prepare_ui();

// The dialog's window procedure (auth_dialog_win.cpp).
LRESULT CALLBACK auth_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Turns an edit into a digit box at the given position (digit_box_win.cpp).
void attach_digit_box(HWND box, int position);
