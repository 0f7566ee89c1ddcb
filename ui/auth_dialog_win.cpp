// The authentication dialog window (class SNAuthDlg). The window procedure unpacks messages and
// calls the handlers below; the rules themselves live in auth_dialog_state.cpp.
#include <windows.h>
#include <commctrl.h>
#include <dwmapi.h>

#include <initializer_list>

#include "common/lang.h"
#include "common/mfa_client.h"
#include "common/text.h"
#include "ui/auth_dialog_state.h"
#include "ui/controls.h"
#include "ui/dialog_host.h"
#include "ui/push_poll.h"
#include "ui/push_worker.h"
#include "ui/ui_fonts.h"

namespace {

constexpr int content_x = 24;
constexpr int content_width = 392;
constexpr int header_height = 80;
constexpr int band_bottom = 124;
constexpr DWORD dwm_window_corner_preference = 33;
constexpr DWORD dwm_corner_round = 2;
constexpr size_t error_cch = 256;
constexpr UINT marquee_step_ms = 40;

AuthDialogContext* context_of(HWND window) {
    return reinterpret_cast<AuthDialogContext*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

HWND make_static(HWND parent, int id, const wchar_t* text, int x, int y, int width, int height, HFONT font,
                 DWORD extra_style = 0) {
    HWND control = CreateWindowExW(0, L"STATIC", text, WS_CHILD | WS_VISIBLE | extra_style, x, y, width, height,
                                   parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   GetModuleHandleW(nullptr), nullptr);
    if (control && font) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return control;
}

// The status line is the one place for errors and hints: shown with a text, hidden without one.
void set_status(HWND window, const wchar_t* text) {
    HWND status = GetDlgItem(window, id_status);
    if (!status) return;
    SetWindowTextW(status, text ? text : L"");
    ShowWindow(status, text && text[0] ? SW_SHOW : SW_HIDE);
    RECT r;
    GetWindowRect(status, &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    RedrawWindow(window, &r, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

// The program's icon 200, else 1, at 40 x 40, else the system shield. *owned: the icon was made for
// this dialog and is destroyed with it (the system's icon is shared).
HICON load_dialog_icon(bool* owned) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    for (int id : {200, 1}) {
        HANDLE icon = LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON, 40, 40, 0);
        if (icon) {
            *owned = true;
            return static_cast<HICON>(icon);
        }
    }
    *owned = false;
    return LoadIconW(nullptr, IDI_SHIELD);
}

// The longest middle-cut target that fits the line in the body font.
void fit_target_line(HWND line, const wchar_t* target, wchar_t* out, size_t cch_out) {
    size_t length = text_length(target, 1024);
    HDC dc = GetDC(line);
    HGDIOBJ old_font = ui_fonts().body ? SelectObject(dc, ui_fonts().body) : nullptr;
    size_t low = 1, high = length;
    target_line_text(target, length, out, cch_out);
    auto fits = [&](size_t chars) {
        target_line_text(target, chars, out, cch_out);
        SIZE extent = {};
        GetTextExtentPoint32W(dc, out, static_cast<int>(text_length(out, cch_out)), &extent);
        return extent.cx <= content_width;
    };
    if (!fits(length)) {
        while (low < high) {  // the largest count that fits
            size_t middle = (low + high + 1) / 2;
            if (fits(middle)) low = middle; else high = middle - 1;
        }
        fits(low);
    }
    if (old_font) SelectObject(dc, old_font);
    ReleaseDC(line, dc);
}

void add_target_tip(HWND window, HWND line, const AuthDialogContext* c) {
    HWND tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    if (!tip) return;
    static wchar_t full[1600];
    target_tip_text(c->request.target, c->request.detail, full, 1600);
    TOOLINFOW tool = {};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window;
    tool.uId = reinterpret_cast<UINT_PTR>(line);
    tool.lpszText = full;
    SendMessageW(tip, TTM_SETMAXTIPWIDTH, 0, 600);
    SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void create_header(HWND window, const AuthDialogContext* c) {
    const UiFonts& fonts = ui_fonts();
    make_static(window, id_title, text_for_id(txt_product), 72, 18, 360, 24, fonts.title, SS_NOPREFIX);
    wchar_t subtitle[256];
    subtitle_text(c->request.title, subtitle, 256);
    make_static(window, id_subtitle, subtitle, 72, 46, 360, 20, fonts.body, SS_NOPREFIX | SS_ENDELLIPSIS);
    HWND line = make_static(window, id_target, L"", content_x, 94, content_width, 18, fonts.body,
                            SS_NOPREFIX | SS_NOTIFY);
    wchar_t target_line[1056];
    fit_target_line(line, c->request.target, target_line, 1056);
    SetWindowTextW(line, target_line);
    add_target_tip(window, line, c);
}

void create_digit_boxes(HWND window, AuthDialogContext* c, int y) {
    for (int i = 0; i < digit_box_count; ++i) {
        HWND box = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_CENTER,
                                   digit_box_x(i), y, 44, 52, window,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id_first_box + i)),
                                   GetModuleHandleW(nullptr), nullptr);
        c->digit_boxes[i] = box;
        if (!box) continue;
        if (ui_fonts().digit) SendMessageW(box, WM_SETFONT, reinterpret_cast<WPARAM>(ui_fonts().digit), TRUE);
        SendMessageW(box, EM_LIMITTEXT, 1, 0);
        attach_digit_box(box, i);
    }
    if (c->digit_boxes[0]) SetFocus(c->digit_boxes[0]);
}

void place_window(HWND window, DialogVariant variant) {
    RECT r = {0, 0, dialog_client_width, dialog_client_height(variant)};
    AdjustWindowRectEx(&r, WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_TOPMOST | WS_EX_DLGMODALFRAME);
    int width = r.right - r.left, height = r.bottom - r.top;
    int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    SetWindowPos(window, HWND_TOPMOST, x, y, width, height, SWP_NOACTIVATE);
}

void create_code_row(HWND window, AuthDialogContext* c, DialogVariant variant) {
    const UiFonts& fonts = ui_fonts();
    if (variant == DialogVariant::message) {
        wchar_t prompt[160];
        code_prompt_text(c->request.mode, c->request.destination, prompt, 160);
        make_static(window, id_prompt, prompt, content_x, 141, 276, 18, fonts.body, SS_NOPREFIX);
        make_button(window, id_get_code, text_for_id(txt_get_code), 304, 141, 112, 24);
    } else {
        make_static(window, id_prompt, text_for_id(txt_totp_prompt), content_x, 141, content_width, 18, fonts.body);
    }
    create_digit_boxes(window, c, digit_row_y(variant));
}

// The push label, the six passcode boxes (filled once the push was created) and the marquee.
void create_push_row(HWND window, const AuthDialogContext* c) {
    const UiFonts& fonts = ui_fonts();
    make_static(window, id_push_label, text_for_id(txt_push_approve), content_x, 141, content_width, 20, fonts.button,
                SS_NOPREFIX);
    for (int i = 0; i < digit_box_count; ++i) {
        wchar_t digit[2];
        passcode_digit(c->request.passcode, i, digit);
        make_static(window, id_first_box + i, digit, digit_box_x(i), digit_row_y(DialogVariant::push), 44, 52,
                    fonts.digit, SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX);
    }
    HWND progress = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_MARQUEE, content_x, 233,
                                    content_width, 4, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id_progress)),
                                    GetModuleHandleW(nullptr), nullptr);
    if (progress) SendMessageW(progress, PBM_SETMARQUEE, TRUE, marquee_step_ms);
}

void stop_marquee(HWND window) {
    HWND progress = GetDlgItem(window, id_progress);
    if (!progress) return;
    SendMessageW(progress, PBM_SETMARQUEE, FALSE, 0);
    ShowWindow(progress, SW_HIDE);
}

void show_push_request_failed(HWND window, const wchar_t* text) {
    set_status(window, text && text[0] ? text : text_for_id(txt_push_network));
    stop_marquee(window);
}

// The push ended: approved closes the dialog; anything else is shown and the dialog waits for
// Cancel or close.
void end_push(HWND window, AuthDialogContext* c, bool approved, const wchar_t* text) {
    if (approved) {
        c->reply.approved = 1;
        text_copy(c->reply.message, text_for_id(txt_push_succeeded));
        PostMessageW(window, WM_CLOSE, 0, 0);
        return;
    }
    const wchar_t* shown = push_failure_text(text);
    c->reply.approved = 0;
    text_copy(c->reply.message, shown);
    set_status(window, shown);
}

void start_polling(HWND window, AuthDialogContext* c) {
    c->polling = 1;
    if (!push_job_poll(c->push_job, c->request.challenge_id)) end_push(window, c, false, nullptr);
}

// A request that already carries a challenge id is polled at once; otherwise the push is requested.
void start_push(HWND window, AuthDialogContext* c) {
    c->push_job = push_job_create(window, &c->settings);
    if (c->request.challenge_id[0]) {
        start_polling(window, c);
        return;
    }
    SetDlgItemTextW(window, id_push_label, text_for_id(txt_push_sending));
    if (!push_job_request(c->push_job)) show_push_request_failed(window, nullptr);
}

bool on_create(HWND window, const CREATESTRUCTW* create) {
    auto* c = static_cast<AuthDialogContext*>(create->lpCreateParams);
    if (!c) return false;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(c));
    c->dialog_window = window;
    DWORD corner = dwm_corner_round;
    DwmSetWindowAttribute(window, dwm_window_corner_preference, &corner, sizeof corner);
    c->dialog_icon = load_dialog_icon(&c->dialog_icon_owned);
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(c->dialog_icon));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(c->dialog_icon));

    create_header(window, c);
    DialogVariant variant = dialog_variant(c->request.mode);
    if (variant == DialogVariant::push)
        create_push_row(window, c);
    else
        create_code_row(window, c, variant);

    const UiFonts& fonts = ui_fonts();
    int y = status_line_y(variant);
    HWND status = make_static(window, id_status, L"", content_x, y, content_width, 18, fonts.body, SS_NOPREFIX);
    ShowWindow(status, SW_HIDE);
    if (variant == DialogVariant::push) {
        make_button(window, id_cancel, text_for_id(txt_cancel), content_x, y + 32, content_width, 36);
    } else {
        make_button(window, id_verify, text_for_id(txt_verify), content_x, y + 32, 192, 36);
        make_button(window, id_cancel, text_for_id(txt_cancel), 224, y + 32, 192, 36);
    }
    place_window(window, variant);
    if (variant == DialogVariant::push) start_push(window, c);
    return true;
}

void paint_passcode_boxes(HWND window, HDC dc) {
    HBRUSH fill = CreateSolidBrush(palette::passcode_fill);
    HPEN fill_pen = CreatePen(PS_SOLID, 1, palette::passcode_fill);
    HPEN accent_pen = CreatePen(PS_SOLID, 2, palette::accent);
    for (int i = 0; i < digit_box_count; ++i) {
        HWND box = GetDlgItem(window, id_first_box + i);
        if (!box || !IsWindowVisible(box)) continue;
        RECT r;
        GetWindowRect(box, &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        HGDIOBJ old_brush = SelectObject(dc, fill);
        HGDIOBJ old_pen = SelectObject(dc, fill_pen);
        RoundRect(dc, r.left, r.top, r.right, r.bottom, 8, 8);
        SelectObject(dc, GetStockObject(NULL_BRUSH));
        SelectObject(dc, accent_pen);
        RoundRect(dc, r.left, r.top, r.right, r.bottom, 8, 8);
        SelectObject(dc, old_pen);
        SelectObject(dc, old_brush);
    }
    DeleteObject(accent_pen);
    DeleteObject(fill_pen);
    DeleteObject(fill);
}

void on_paint(HWND window, const AuthDialogContext* c) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);
    fill_rect(dc, {0, 0, client.right, header_height}, palette::white);
    if (c && c->dialog_icon) DrawIconEx(dc, 24, 20, c->dialog_icon, 40, 40, 0, nullptr, DI_NORMAL);
    draw_hline(dc, 0, client.right, header_height, palette::header_rule);
    fill_rect(dc, {0, header_height + 1, client.right, band_bottom}, palette::band);
    draw_hline(dc, 0, client.right, band_bottom, palette::header_rule);
    fill_rect(dc, {0, band_bottom + 1, client.right, client.bottom}, palette::white);
    if (c && dialog_variant(c->request.mode) == DialogVariant::push) paint_passcode_boxes(window, dc);
    EndPaint(window, &ps);
}

LRESULT on_static_colour(HDC dc, HWND control) {
    int id = GetDlgCtrlID(control);
    COLORREF colour = palette::muted_text;
    if (id == id_title) colour = palette::text;
    else if (id == id_status) colour = palette::bad;
    else if (id >= id_first_box && id < id_first_box + digit_box_count) colour = palette::accent;
    SetTextColor(dc, colour);
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
}

LRESULT on_edit_colour(HDC dc) {
    SetBkColor(dc, palette::white);
    SetTextColor(dc, palette::text);
    return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
}

void on_verify(HWND window, AuthDialogContext* c) {
    wchar_t texts[digit_box_count][4] = {};
    const wchar_t* boxes[digit_box_count] = {};
    for (int i = 0; i < digit_box_count; ++i) {
        if (!c->digit_boxes[i]) continue;
        GetWindowTextW(c->digit_boxes[i], texts[i], 4);
        boxes[i] = texts[i];
    }
    wchar_t digits[digit_box_count + 1];
    int taken = collect_digits(boxes, digits);
    wchar_t error[error_cch] = L"";
    bool passed = false;
    switch (verify_step(c->request.mode, taken, c->code_requested != 0)) {
        case VerifyStep::need_all_digits:
            set_status(window, text_for_id(txt_enter_all_digits));
            if (c->digit_boxes[taken]) SetFocus(c->digit_boxes[taken]);
            return;
        case VerifyStep::need_code_first:
            set_status(window, text_for_id(txt_get_code_first));
            return;
        case VerifyStep::refuse:
            set_status(window, text_for_id(txt_verification_failed));
            return;
        case VerifyStep::call_totp:
            passed = verify_totp(&c->settings, digits, error, error_cch);
            break;
        case VerifyStep::call_message:
            passed = verify_message_code(&c->settings, c->request.challenge_id, digits, error, error_cch);
            break;
    }
    if (passed) {
        reply_approved_with_code(&c->reply, digits);
        DestroyWindow(window);
    } else {
        set_status(window, verify_failure_text(error));
    }
}

void set_button_text(HWND button, const wchar_t* text) {
    SetWindowTextW(button, text);
    InvalidateRect(button, nullptr, TRUE);
    UpdateWindow(button);
}

void on_get_code(HWND window, AuthDialogContext* c) {
    HWND button = GetDlgItem(window, id_get_code);
    if (!button || !get_code_allowed(c->resend_countdown)) return;
    wchar_t id[128] = L"", destination[128] = L"", error[error_cch] = L"";
    set_status(window, L"");
    EnableWindow(button, FALSE);
    set_button_text(button, text_for_id(txt_sending));
    if (!request_message_code(&c->settings, message_auth_type(c->request.mode), id, 128, destination, 128, error,
                              error_cch)) {
        set_status(window, error);
        set_button_text(button, text_for_id(txt_get_code));
        EnableWindow(button, TRUE);
        return;
    }
    text_copy(c->request.challenge_id, id);
    c->code_requested = 1;
    c->resend_countdown = resend_wait_seconds;
    SetTimer(window, resend_timer_id, 1000, nullptr);
    wchar_t text[64];
    resend_button_text(c->resend_countdown, text, 64);
    set_button_text(button, text);
    wchar_t sent[256];
    code_sent_text(destination, sent, 256);
    if (sent[0]) set_status(window, sent);
}

void on_timer(HWND window, AuthDialogContext* c, UINT_PTR timer) {
    if (timer != resend_timer_id) return;
    HWND button = GetDlgItem(window, id_get_code);
    wchar_t text[64];
    switch (resend_tick(&c->resend_countdown)) {
        case CountdownStep::idle:
            return;
        case CountdownStep::counting:
            resend_button_text(c->resend_countdown, text, 64);
            set_button_text(button, text);
            return;
        case CountdownStep::finished:
            KillTimer(window, resend_timer_id);
            EnableWindow(button, TRUE);
            set_button_text(button, text_for_id(txt_resend));
            return;
    }
}

// The workers' messages carry nothing: what happened is taken from the dialog's own push job, and
// a message with nothing waiting there (posted by someone else, or in a dialog without a job) is
// ignored.
void on_push_requested(HWND window, AuthDialogContext* c) {
    bool created = false;
    wchar_t text[push_text_cch];
    if (!push_job_take_request(c->push_job, &created, text, push_text_cch, c->request.challenge_id, 128,
                               c->request.passcode, 32))
        return;
    push_job_reap(c->push_job);
    if (!created) {
        show_push_request_failed(window, text);
        return;
    }
    SetDlgItemTextW(window, id_push_label, text_for_id(txt_push_sent));
    for (int i = 0; i < digit_box_count; ++i) {
        wchar_t digit[2];
        passcode_digit(c->request.passcode, i, digit);
        SetDlgItemTextW(window, id_first_box + i, digit);
    }
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
    start_polling(window, c);
}

void on_push_retrying(HWND window, AuthDialogContext* c) {
    if (push_job_take_retrying(c->push_job)) set_status(window, text_for_id(txt_push_retrying));
}

void on_push_finished(HWND window, AuthDialogContext* c) {
    bool approved = false;
    wchar_t text[push_text_cch];
    if (!push_job_take_ending(c->push_job, &approved, text, push_text_cch)) return;
    push_job_reap(c->push_job);
    end_push(window, c, approved, text);
}

void on_command(HWND window, AuthDialogContext* c, int id) {
    if (id == id_get_code) {
        on_get_code(window, c);
    } else if (id == id_verify) {
        on_verify(window, c);
    } else if (id == id_cancel) {
        reply_cancelled(&c->reply);
        DestroyWindow(window);
    }
}

void on_close(HWND window, AuthDialogContext* c) {
    if (c) reply_window_closed(&c->reply);
    DestroyWindow(window);
}

}  // namespace

LRESULT CALLBACK auth_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    AuthDialogContext* c = context_of(window);
    switch (message) {
        case WM_CREATE:
            return on_create(window, reinterpret_cast<const CREATESTRUCTW*>(lparam)) ? 0 : -1;
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT:
            on_paint(window, c);
            return 0;
        case WM_CTLCOLORSTATIC:
            return on_static_colour(reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam));
        case WM_CTLCOLOREDIT:
            return on_edit_colour(reinterpret_cast<HDC>(wparam));
        case WM_DRAWITEM: {
            auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lparam);
            if (item->CtlType != ODT_BUTTON) break;
            paint_button(item, item->CtlID == static_cast<UINT>(id_verify) ? button_primary : button_secondary);
            return TRUE;
        }
        case WM_COMMAND:
            if (c && HIWORD(wparam) == BN_CLICKED) on_command(window, c, LOWORD(wparam));
            return 0;
        case WM_TIMER:
            if (c) on_timer(window, c, wparam);
            return 0;
        case WM_CLOSE:
            on_close(window, c);
            return 0;
        case msg_push_requested:  // parameters ignored: see on_push_requested
            if (c) on_push_requested(window, c);
            return 0;
        case msg_push_retrying:
            if (c) on_push_retrying(window, c);
            return 0;
        case msg_push_finished:
            if (c) on_push_finished(window, c);
            return 0;
        case WM_DESTROY:
            if (c) {
                push_job_detach(c->push_job);
                c->push_job = nullptr;
                if (c->dialog_icon_owned) DestroyIcon(c->dialog_icon);
                c->dialog_icon = nullptr;
            }
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}
