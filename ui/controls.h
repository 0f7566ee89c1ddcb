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
constexpr COLORREF sidebar = RGB(32, 32, 32);
constexpr COLORREF sidebar_text = RGB(222, 222, 222);
constexpr COLORREF sidebar_rule = RGB(60, 60, 60);
constexpr COLORREF content_background = RGB(243, 243, 243);
constexpr COLORREF content_rule = RGB(229, 229, 229);
constexpr COLORREF card_border = RGB(224, 224, 224);
constexpr COLORREF good = RGB(15, 123, 15);
}  // namespace palette

enum ButtonStyle : int { button_secondary = 0, button_primary = 1, button_danger = 2, button_navigation = 3 };

// The console's Uninstall button: red in every state.
constexpr int uninstall_button_id = 219;

HWND make_button(HWND parent, int id, const wchar_t* caption, int x, int y, int width, int height);
// WM_DRAWITEM of an owner-drawn button in one of the non-navigation styles; the owner returns TRUE.
void paint_button(const DRAWITEMSTRUCT* item, int style);
// A console sidebar item (navigation style): the dark band, the blue pill and white bar on the
// current page, the text of string id 34 + index in the current language; no focus rectangle.
void paint_nav_button(const DRAWITEMSTRUCT* item, int nav_index, int current_page);

// A static text in a font; extra_style adds SS_CENTER, SS_RIGHT, ...
HWND make_label(HWND parent, int id, const wchar_t* text, int x, int y, int width, int height, HFONT font,
                DWORD extra_style = 0);
// An "EDIT" with the console's style (ES_AUTOHSCROLL, a border, tab stop), the button font and the
// rounded frame; ES_PASSWORD when password is set.
HWND make_rounded_edit(HWND parent, int id, bool password, int x, int y, int width, int height);
// The rounded frame on an edit made elsewhere with the same style: 2-pixel blue while focused,
// 1-pixel grey otherwise; Enter clicks the parent's enabled control 120, if it has one.
void attach_rounded_frame(HWND edit);
// The frame of an edit (WM_NCPAINT): a rounded outline, 2-pixel blue while focused, else 1-pixel grey.
void paint_edit_frame(HWND edit, int corner);
void fill_rect(HDC dc, const RECT& r, COLORREF colour);

// A 1-pixel pen and a solid brush made for one drawing call and selected into dc; the previous
// objects are selected back and these deleted at the end of the scope.
class PenAndBrush {
public:
    PenAndBrush(HDC dc, COLORREF outline, COLORREF fill);
    ~PenAndBrush();
    PenAndBrush(const PenAndBrush&) = delete;
    PenAndBrush& operator=(const PenAndBrush&) = delete;

private:
    HDC dc_;
    HPEN pen_;
    HBRUSH brush_;
    HGDIOBJ old_pen_, old_brush_;
};

// The colouring every white window gives its children: edits white with the text colour
// (WM_CTLCOLOREDIT), static texts transparent in a colour over a brush (WM_CTLCOLORSTATIC).
LRESULT colour_edit(HDC dc);
LRESULT colour_static(HDC dc, COLORREF text_colour, HBRUSH brush);
// WM_ERASEBKGND of a white window.
void erase_white(HWND window, HDC dc);
// GetMessage, TranslateMessage, DispatchMessage until WM_QUIT.
void run_message_loop();
// A rounded rectangle filled and outlined in one colour.
void fill_round_rect(HDC dc, int left, int top, int right, int bottom, int corner, COLORREF colour);
void draw_hline(HDC dc, int x0, int x1, int y, COLORREF colour);

// The dashboard's painted parts (dashboard_paint_win.cpp).
// One white card with its four-layer shadow.
void paint_card(HDC dc, const RECT& r);
void paint_status_dot(HDC dc, int x, int y, int radius, COLORREF colour);
// The four cards of the dashboard in the content window's client coordinates.
void paint_dashboard(HDC dc, bool running, unsigned long app_rules, unsigned long cmd_rules);
