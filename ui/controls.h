// The flat visual vocabulary shared by every window: palette, owner-drawn buttons and the rounded
// frames painted around edits. Geometry is in device pixels; only the fonts follow the DPI.
#pragma once
#include <windows.h>

namespace palette {
constexpr COLORREF accent = RGB(0, 103, 192);
constexpr COLORREF primary_hot = RGB(0, 84, 166);
constexpr COLORREF primary_pressed = RGB(0, 68, 144);
constexpr COLORREF danger = RGB(220, 53, 45);
constexpr COLORREF danger_hot = RGB(240, 65, 55);
constexpr COLORREF danger_pressed = RGB(180, 40, 30);
constexpr COLORREF white = RGB(255, 255, 255);
constexpr COLORREF secondary_hot = RGB(238, 238, 238);
constexpr COLORREF secondary_pressed = RGB(225, 225, 225);
constexpr COLORREF control_border = RGB(204, 204, 204);
constexpr COLORREF disabled_face = RGB(240, 240, 240);
constexpr COLORREF disabled_border = RGB(220, 220, 220);
constexpr COLORREF disabled_text = RGB(171, 171, 171);
constexpr COLORREF text = RGB(26, 26, 26);
constexpr COLORREF muted_text = RGB(92, 92, 92);
constexpr COLORREF bad = RGB(196, 43, 28);
constexpr COLORREF header_rule = RGB(229, 229, 229);
constexpr COLORREF band = RGB(245, 245, 245);
constexpr COLORREF passcode_fill = RGB(232, 243, 255);
}  // namespace palette

enum ButtonStyle : int { button_secondary = 0, button_primary = 1, button_danger = 2, button_navigation = 3 };

// The console's Uninstall button: red in every state.
constexpr int uninstall_button_id = 219;

HWND make_button(HWND parent, int id, const wchar_t* caption, int x, int y, int width, int height);
// WM_DRAWITEM of an owner-drawn button in one of the non-navigation styles; the owner returns TRUE.
void paint_button(const DRAWITEMSTRUCT* item, int style);
// The frame of an edit (WM_NCPAINT): a rounded outline, 2-pixel blue while focused, else 1-pixel grey.
void paint_edit_frame(HWND edit, int corner);
void fill_rect(HDC dc, const RECT& r, COLORREF colour);
void draw_hline(HDC dc, int x0, int x1, int y, COLORREF colour);
