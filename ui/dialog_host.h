// The dialog host: the server end of its session's \\.\pipe\SentrelUI.<session>. Requests are
// served one at a time: one UiAuthRequest, one authentication dialog, its answers and the broker's
// verdicts (see ui_broker.h). The host makes no MFA call and reads no settings file.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "common/ui_broker.h"

// One dialog round; the host clears it before every request and hands it to the dialog window.
struct AuthDialogContext {
    UiAuthRequest request;
    UiAuthReply reply;
    bool checking;  // a code was sent to the broker; its verdict is awaited
    bool decided;   // the broker's verdict ended the round: no answer follows
    HWND dialog_window;
    HICON dialog_icon;
    bool dialog_icon_owned;
    HWND digit_boxes[6];
};

constexpr const wchar_t* auth_dialog_class = L"SNAuthDlg";
// Tells the dialog that the broker's verdict arrived (it carries nothing: the dialog takes the
// verdict with dialog_host_take_verdict, so a message posted by anyone else decides nothing).
constexpr UINT msg_verdict = WM_APP + 40;

// Sends an answer (a code to check) to the broker of the round being shown; false when it could
// not be sent.
bool dialog_host_send_answer(const UiAuthReply* answer);
// The verdict that arrived for the round being shown; false when none is waiting.
bool dialog_host_take_verdict(UiAuthReply* verdict);

// Serves the pipe for as long as the process lives.
[[noreturn]] void run_dialog_host();

// Common controls and the UI fonts, once per process (main.cpp).
void prepare_ui();

// The dialog's window procedure (auth_dialog_win.cpp).
LRESULT CALLBACK auth_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Turns an edit into a digit box at the given position (digit_box_win.cpp).
void attach_digit_box(HWND box, int position);
