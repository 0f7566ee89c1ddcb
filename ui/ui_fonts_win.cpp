#include "ui/ui_fonts.h"

#include <initializer_list>

#include "common/text.h"

namespace {

UiFonts fonts;

HFONT make_font(const wchar_t* face, int points, bool bold, bool italic) {
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    LOGFONTW description = {};
    description.lfHeight = -MulDiv(points, dpi, 72);
    description.lfWeight = bold ? 600 : 400;
    description.lfItalic = italic ? TRUE : FALSE;
    description.lfCharSet = DEFAULT_CHARSET;
    description.lfQuality = CLEARTYPE_QUALITY;
    text_copy(description.lfFaceName, face);
    return CreateFontIndirectW(&description);
}

// The system puts another face in place of one it lacks; for the symbol font that face has no
// glyphs at the icon code points (they would show as boxes), so a stand-in is not kept.
HFONT only_if_installed(HFONT font, const wchar_t* face) {
    if (!font) return nullptr;
    HDC screen = GetDC(nullptr);
    wchar_t used[LF_FACESIZE] = L"";
    if (screen) {
        HGDIOBJ old = SelectObject(screen, font);
        GetTextFaceW(screen, LF_FACESIZE, used);
        SelectObject(screen, old);
        ReleaseDC(nullptr, screen);
    }
    if (text_equal_ascii_nocase(used, face)) return font;
    DeleteObject(font);
    return nullptr;
}

}  // namespace

const UiFonts& ui_fonts() { return fonts; }

void create_ui_fonts() {
    fonts.title = make_font(L"Segoe UI", 13, true, false);
    fonts.button = make_font(L"Segoe UI", 10, false, false);
    fonts.body = make_font(L"Segoe UI", 9, false, false);
    fonts.symbol = only_if_installed(make_font(L"Segoe MDL2 Assets", 18, false, false), L"Segoe MDL2 Assets");
    fonts.digit = make_font(L"Segoe UI", 22, true, false);
}

void delete_ui_fonts() {
    for (HFONT* font : {&fonts.title, &fonts.button, &fonts.body, &fonts.symbol, &fonts.digit}) {
        if (*font) DeleteObject(*font);
        *font = nullptr;
    }
}
