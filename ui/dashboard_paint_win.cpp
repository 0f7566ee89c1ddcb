// The dashboard's cards: service state, rule counts, command protection and history. Painted by
// the content window on every WM_PAINT of the dashboard page; nothing is cached.
#include <windows.h>

#include "common/lang.h"
#include "common/text.h"
#include "ui/console_state.h"
#include "ui/controls.h"
#include "ui/ui_fonts.h"

namespace {

struct ShadowLayer {
    int dx, dy, grow;
    COLORREF colour;
};

const ShadowLayer shadow_layers[] = {
    {0, 4, 2, RGB(225, 225, 225)},
    {0, 3, 1, RGB(213, 213, 213)},
    {0, 2, 0, RGB(205, 205, 205)},
    {0, 1, 0, RGB(220, 220, 220)},
};

struct Card {
    RECT card, title_rect, glyph_rect, line_rect;
    unsigned title_id;
    wchar_t glyph;
    COLORREF glyph_colour;
    bool has_dot;
    POINT dot;
    COLORREF dot_colour;
    const wchar_t* line;
    COLORREF line_colour;
};

void draw_text(HDC dc, const wchar_t* text, RECT r, HFONT font, COLORREF colour, UINT format) {
    if (!font) return;
    HGDIOBJ old = SelectObject(dc, font);
    SetTextColor(dc, colour);
    DrawTextW(dc, text, -1, &r, format);
    SelectObject(dc, old);
}

void paint_one(HDC dc, const Card& c) {
    const UiFonts& fonts = ui_fonts();
    paint_card(dc, c.card);
    draw_text(dc, text_for_id(c.title_id), c.title_rect, fonts.body, palette::muted_text, DT_LEFT | DT_TOP);
    wchar_t glyph[2] = {c.glyph, 0};
    draw_text(dc, glyph, c.glyph_rect, fonts.symbol, c.glyph_colour, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
    if (c.has_dot) paint_status_dot(dc, c.dot.x, c.dot.y, 5, c.dot_colour);
    draw_text(dc, c.line, c.line_rect, fonts.button, c.line_colour, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
}

}  // namespace

void paint_card(HDC dc, const RECT& r) {
    for (const ShadowLayer& layer : shadow_layers) {
        fill_round_rect(dc, r.left + layer.dx - layer.grow, r.top + layer.dy - layer.grow,
                        r.right + layer.dx + layer.grow, r.bottom + layer.dy + layer.grow, 10, layer.colour);
    }
    PenAndBrush tools(dc, palette::card_border, palette::white);
    RoundRect(dc, r.left, r.top, r.right, r.bottom, 8, 8);
}

void paint_status_dot(HDC dc, int x, int y, int radius, COLORREF colour) {
    PenAndBrush tools(dc, colour, colour);
    Ellipse(dc, x - radius, y - radius, x + radius, y + radius);
}

void paint_dashboard(HDC dc, bool running, unsigned long app_rules, unsigned long cmd_rules) {
    SetBkMode(dc, TRANSPARENT);
    wchar_t rules_line[64];
    text_format(rules_line, 64, text_for_id(txt_rules_line), cmd_rules, app_rules);
    COLORREF state = running ? palette::good : palette::bad;
    COLORREF protection = running ? palette::good : palette::disabled_text;
    const Card cards[] = {
        {{24, 64, 284, 164}, {36, 76, 272, 92}, {250, 74, 272, 98}, {52, 110, 272, 130}, 48, L'\xE9E9',
         running ? RGB(200, 230, 200) : RGB(230, 200, 200), true, {42, 120}, state,
         text_for_id(running ? 56 : 57), state},
        {{300, 64, 560, 164}, {312, 76, 548, 92}, {526, 74, 548, 98}, {312, 110, 548, 130}, 49, L'\xE8A1',
         RGB(200, 215, 240), false, {0, 0}, 0, rules_line, palette::text},
        {{24, 180, 284, 280}, {36, 192, 272, 208}, {250, 190, 272, 214}, {52, 226, 272, 246}, 50, L'\xE72E',
         running ? RGB(200, 230, 200) : RGB(220, 220, 220), true, {42, 236}, protection,
         text_for_id(running ? 58 : 59), protection},
        {{300, 180, 560, 280}, {312, 192, 548, 208}, {526, 190, 548, 214}, {312, 226, 548, 246}, 51, L'\xE81C',
         RGB(220, 210, 240), false, {0, 0}, 0, text_for_id(61), palette::muted_text},
    };
    for (const Card& card : cards) paint_one(dc, card);
}
