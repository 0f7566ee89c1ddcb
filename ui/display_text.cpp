#include "ui/display_text.h"

bool is_bidi_control(wchar_t c) {
    return c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void remove_bidi_controls(wchar_t* text) {
    if (!text) return;
    wchar_t* kept = text;
    for (const wchar_t* c = text; *c; ++c)
        if (!is_bidi_control(*c)) *kept++ = *c;
    *kept = L'\0';
}
