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

}  // namespace

const UiFonts& ui_fonts() { return fonts; }

void create_ui_fonts() {
    fonts.title = make_font(L"Segoe UI", 13, true, false);
    fonts.button = make_font(L"Segoe UI", 10, false, false);
    fonts.body = make_font(L"Segoe UI", 9, false, false);
    fonts.symbol = make_font(L"Segoe MDL2 Assets", 18, false, false);
    fonts.digit = make_font(L"Segoe UI", 22, true, false);
}

void delete_ui_fonts() {
    for (HFONT* font : {&fonts.title, &fonts.button, &fonts.body, &fonts.symbol, &fonts.digit}) {
        if (*font) DeleteObject(*font);
        *font = nullptr;
    }
}
