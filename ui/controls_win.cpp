#include "ui/controls.h"

#include <commctrl.h>

#include "common/lang.h"
#include "ui/ui_fonts.h"

namespace {

struct ButtonColours {
    COLORREF face, border, text;
};

ButtonColours button_colours(const DRAWITEMSTRUCT* item, int style) {
    bool pressed = item->itemState & ODS_SELECTED;
    bool hot = item->itemState & ODS_HOTLIGHT;
    bool disabled = item->itemState & ODS_DISABLED;
    if (item->CtlID == static_cast<UINT>(uninstall_button_id) || (!disabled && style == button_danger)) {
        COLORREF face = pressed ? palette::danger_pressed : hot ? palette::danger_hot : palette::danger;
        return {face, face, palette::white};
    }
    if (disabled) return {palette::disabled_face, palette::disabled_border, palette::disabled_text};
    if (style == button_primary) {
        COLORREF face = pressed ? palette::primary_pressed : hot ? palette::primary_hot : palette::accent;
        return {face, face, palette::white};
    }
    COLORREF face = pressed ? palette::secondary_pressed : hot ? palette::secondary_hot : palette::white;
    return {face, palette::control_border, palette::text};
}

constexpr int enter_target_id = 120;
constexpr UINT_PTR rounded_frame_subclass_id = 1;

void redraw_frame(HWND edit) { RedrawWindow(edit, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE); }

void click_enter_target(HWND edit) {
    HWND parent = GetParent(edit);
    HWND target = parent ? GetDlgItem(parent, enter_target_id) : nullptr;
    if (target && IsWindowEnabled(target))
        SendMessageW(parent, WM_COMMAND, MAKEWPARAM(enter_target_id, BN_CLICKED), reinterpret_cast<LPARAM>(target));
}

LRESULT CALLBACK rounded_frame_proc(HWND edit, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR id, DWORD_PTR) {
    switch (message) {
        case WM_NCPAINT:
            paint_edit_frame(edit, 4);
            return 0;
        case WM_PAINT: {
            // Wine's edit keeps its border inside the client area: paint the frame over it.
            LRESULT result = DefSubclassProc(edit, message, wparam, lparam);
            paint_edit_frame(edit, 4);
            return result;
        }
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            redraw_frame(edit);
            break;
        case WM_KEYDOWN:
            if (wparam != VK_RETURN) break;
            click_enter_target(edit);  // the edit may be gone afterwards
            return 0;
        case WM_CHAR:
            if (wparam == L'\r' && !(GetWindowLongW(edit, GWL_STYLE) & ES_MULTILINE)) return 0;  // no beep
            break;
        case WM_NCDESTROY:
            RemoveWindowSubclass(edit, rounded_frame_proc, id);
            break;
    }
    return DefSubclassProc(edit, message, wparam, lparam);
}

}  // namespace

HWND make_label(HWND parent, int id, const wchar_t* text, int x, int y, int width, int height, HFONT font,
                DWORD extra_style) {
    HWND label = CreateWindowExW(0, L"STATIC", text, WS_CHILD | WS_VISIBLE | SS_NOPREFIX | extra_style, x, y, width,
                                 height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 GetModuleHandleW(nullptr), nullptr);
    if (label && font) SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return label;
}

HWND make_rounded_edit(HWND parent, int id, bool password, int x, int y, int width, int height) {
    DWORD style = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | (password ? ES_PASSWORD : 0);
    HWND edit = CreateWindowExW(0, L"EDIT", L"", style, x, y, width, height, parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    if (!edit) return nullptr;
    SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(ui_fonts().button), TRUE);
    attach_rounded_frame(edit);
    return edit;
}

void attach_rounded_frame(HWND edit) { SetWindowSubclass(edit, rounded_frame_proc, rounded_frame_subclass_id, 0); }

HWND make_button(HWND parent, int id, const wchar_t* caption, int x, int y, int width, int height) {
    HWND button = CreateWindowExW(0, L"BUTTON", caption, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW, x, y,
                                  width, height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                  GetModuleHandleW(nullptr), nullptr);
    if (button) SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(ui_fonts().button), TRUE);
    return button;
}

void paint_button(const DRAWITEMSTRUCT* item, int style) {
    wchar_t caption[256] = L"";
    GetWindowTextW(item->hwndItem, caption, 256);
    ButtonColours colours = button_colours(item, style);
    HDC dc = item->hDC;
    RECT r = item->rcItem;

    HPEN pen = CreatePen(PS_SOLID, 1, colours.border);
    HBRUSH brush = CreateSolidBrush(colours.face);
    HGDIOBJ old_pen = SelectObject(dc, pen);
    HGDIOBJ old_brush = SelectObject(dc, brush);
    RoundRect(dc, r.left, r.top, r.right, r.bottom, 6, 6);
    SelectObject(dc, old_brush);
    SelectObject(dc, old_pen);
    DeleteObject(brush);
    DeleteObject(pen);

    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, colours.text);
    HGDIOBJ old_font = ui_fonts().button ? SelectObject(dc, ui_fonts().button) : nullptr;
    DrawTextW(dc, caption, -1, &r, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
    if (old_font) SelectObject(dc, old_font);

    if (item->itemState & ODS_FOCUS) {
        InflateRect(&r, -3, -3);
        DrawFocusRect(dc, &r);
    }
}

void paint_nav_button(const DRAWITEMSTRUCT* item, int nav_index, int current_page) {
    HDC dc = item->hDC;
    RECT r = item->rcItem;
    {
        PenAndBrush tools(dc, palette::sidebar, palette::sidebar);
        Rectangle(dc, r.left, r.top, r.right, r.bottom);
    }

    if (nav_index == current_page) {
        fill_round_rect(dc, r.left + 6, r.top + 3, r.right - 6, r.bottom - 3, 6, palette::accent);
        int h = (r.bottom - r.top) - 6;
        int b = h * 60 / 100;
        int top = r.top + 3 + (h - b) / 2;
        fill_round_rect(dc, r.left + 9, top, r.left + 13, top + b, 4, palette::white);
    }

    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, (item->itemState & ODS_DISABLED) ? palette::disabled_text : palette::sidebar_text);
    HGDIOBJ old_font = ui_fonts().button ? SelectObject(dc, ui_fonts().button) : nullptr;
    RECT text = r;
    text.left += 26;
    DrawTextW(dc, text_for_id(34 + static_cast<unsigned>(nav_index)), -1, &text, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
    if (old_font) SelectObject(dc, old_font);
}

void paint_edit_frame(HWND edit, int corner) {
    HDC dc = GetWindowDC(edit);
    if (!dc) return;
    RECT r;
    GetWindowRect(edit, &r);
    OffsetRect(&r, -r.left, -r.top);
    bool focused = GetFocus() == edit;
    HPEN pen = CreatePen(PS_SOLID, focused ? 2 : 1, focused ? palette::accent : palette::control_border);
    HGDIOBJ old_pen = SelectObject(dc, pen);
    HGDIOBJ old_brush = SelectObject(dc, GetStockObject(HOLLOW_BRUSH));
    // Clear the one-pixel ring the thicker focused pen leaves when the focus goes.
    HPEN clear = CreatePen(PS_SOLID, 2, palette::white);
    SelectObject(dc, clear);
    Rectangle(dc, 0, 0, r.right, r.bottom);
    SelectObject(dc, pen);
    RoundRect(dc, 0, 0, r.right - 1, r.bottom - 1, corner, corner);
    SelectObject(dc, old_brush);
    SelectObject(dc, old_pen);
    DeleteObject(clear);
    DeleteObject(pen);
    ReleaseDC(edit, dc);
}

void fill_rect(HDC dc, const RECT& r, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &r, brush);
    DeleteObject(brush);
}

PenAndBrush::PenAndBrush(HDC dc, COLORREF outline, COLORREF fill)
    : dc_(dc), pen_(CreatePen(PS_SOLID, 1, outline)), brush_(CreateSolidBrush(fill)),
      old_pen_(SelectObject(dc, pen_)), old_brush_(SelectObject(dc, brush_)) {}

PenAndBrush::~PenAndBrush() {
    SelectObject(dc_, old_brush_);
    SelectObject(dc_, old_pen_);
    DeleteObject(brush_);
    DeleteObject(pen_);
}

void fill_round_rect(HDC dc, int left, int top, int right, int bottom, int corner, COLORREF colour) {
    PenAndBrush tools(dc, colour, colour);
    RoundRect(dc, left, top, right, bottom, corner, corner);
}

LRESULT colour_edit(HDC dc) {
    SetBkColor(dc, palette::white);
    SetTextColor(dc, palette::text);
    return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
}

LRESULT colour_static(HDC dc, COLORREF text_colour, HBRUSH brush) {
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, text_colour);
    return reinterpret_cast<LRESULT>(brush);
}

void erase_white(HWND window, HDC dc) {
    RECT r;
    GetClientRect(window, &r);
    fill_rect(dc, r, palette::white);
}

void run_message_loop() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void draw_hline(HDC dc, int x0, int x1, int y, COLORREF colour) {
    HPEN pen = CreatePen(PS_SOLID, 1, colour);
    HGDIOBJ old = SelectObject(dc, pen);
    MoveToEx(dc, x0, y, nullptr);
    LineTo(dc, x1, y);
    SelectObject(dc, old);
    DeleteObject(pen);
}
