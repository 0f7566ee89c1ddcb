// The authentication dialog window (class SNAuthDlg). The window procedure unpacks messages and
// calls the handlers below; the rules themselves live in auth_dialog_state.cpp.
//
// The dialog decides nothing and calls no MFA server: Verify sends the digits to the broker, whose
// verdict (msg_verdict) closes the dialog or asks for the code again. A push dialog shows the
// broker's passcode and waits for the broker's verdict.
#include <windows.h>
#include <commctrl.h>
#include <dwmapi.h>

#include <initializer_list>

#include "common/lang.h"
#include "common/text.h"
#include "ui/auth_dialog_state.h"
#include "ui/controls.h"
#include "ui/dialog_host.h"
#include "ui/push_poll.h"
#include "ui/ui_fonts.h"

namespace {

constexpr int content_x = 24;
constexpr int content_width = 392;
constexpr int header_height = 80;
constexpr int band_bottom = 124;
constexpr DWORD dwm_window_corner_preference = 33;
constexpr DWORD dwm_corner_round = 2;
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
        // The broker has had the code sent already; the prompt names where it went.
        wchar_t prompt[160];
        code_prompt_text(c->request.mode, c->request.destination, prompt, 160);
        make_static(window, id_prompt, prompt, content_x, 141, content_width, 18, fonts.body, SS_NOPREFIX);
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
    if (variant == DialogVariant::message) {
        wchar_t sent[256];
        code_sent_text(c->request.destination, sent, 256);
        if (sent[0]) set_status(window, sent);
    }
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
    if (c->checking) return;  // the broker is checking the code already
    wchar_t texts[digit_box_count][4] = {};
    const wchar_t* boxes[digit_box_count] = {};
    for (int i = 0; i < digit_box_count; ++i) {
        if (!c->digit_boxes[i]) continue;
        GetWindowTextW(c->digit_boxes[i], texts[i], 4);
        boxes[i] = texts[i];
    }
    UiAuthReply answer = {};
    int taken = collect_digits(boxes, answer.code);
    switch (verify_step(c->request.mode, taken, c->request.challenge_id[0] != L'\0')) {
        case VerifyStep::need_all_digits:
            set_status(window, text_for_id(txt_enter_all_digits));
            if (c->digit_boxes[taken]) SetFocus(c->digit_boxes[taken]);
            return;
        case VerifyStep::refuse:
            set_status(window, text_for_id(txt_verification_failed));
            return;
        case VerifyStep::send_code:
            break;
    }
    answer.magic = ui_auth_magic;
    answer.approved = 1;
    bool sent = dialog_host_send_answer(&answer);
    SecureZeroMemory(&answer, sizeof answer);
    if (!sent) {
        set_status(window, text_for_id(txt_verification_failed));
        return;
    }
    c->checking = true;
    EnableWindow(GetDlgItem(window, id_verify), FALSE);
    set_status(window, text_for_id(txt_sending));
}

// The broker's verdict: passed or refused end the round (the dialog closes), retry asks again.
void on_verdict(HWND window, AuthDialogContext* c) {
    UiAuthReply verdict;
    if (!dialog_host_take_verdict(&verdict)) return;  // nothing waiting: not the host's message
    if (verdict.approved == ui_verdict_retry && dialog_variant(c->request.mode) != DialogVariant::push) {
        c->checking = false;
        EnableWindow(GetDlgItem(window, id_verify), TRUE);
        verdict.message[ARRAYSIZE(verdict.message) - 1] = L'\0';
        set_status(window, verify_failure_text(verdict.message));
        if (c->digit_boxes[0]) SetFocus(c->digit_boxes[0]);  // typing replaces the digits box by box
        return;
    }
    c->decided = true;
    c->reply.approved = verdict.approved == ui_verdict_passed ? 1 : 0;
    DestroyWindow(window);
}

void on_command(HWND window, AuthDialogContext* c, int id) {
    if (id == id_verify) {
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
        case WM_CLOSE:
            on_close(window, c);
            return 0;
        case msg_verdict:  // parameters ignored: see on_verdict
            if (c) on_verdict(window, c);
            return 0;
        case WM_DESTROY:
            if (c) {
                if (c->dialog_icon_owned) DestroyIcon(c->dialog_icon);
                c->dialog_icon = nullptr;
            }
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}
