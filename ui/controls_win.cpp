#include "ui/controls.h"

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

}  // namespace

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

void draw_hline(HDC dc, int x0, int x1, int y, COLORREF colour) {
    HPEN pen = CreatePen(PS_SOLID, 1, colour);
    HGDIOBJ old = SelectObject(dc, pen);
    MoveToEx(dc, x0, y, nullptr);
    LineTo(dc, x1, y);
    SelectObject(dc, old);
    DeleteObject(pen);
}
