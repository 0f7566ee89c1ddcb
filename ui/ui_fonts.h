// The five process-wide fonts, created once at start; windows only borrow them.
#pragma once
#include <windows.h>

struct UiFonts {
    HFONT title;   // Segoe UI 13 pt, 600
    HFONT button;  // Segoe UI 10 pt
    HFONT body;    // Segoe UI 9 pt
    HFONT symbol;  // Segoe MDL2 Assets 18 pt
    HFONT digit;   // Segoe UI 22 pt, 600
};

const UiFonts& ui_fonts();
void create_ui_fonts();
void delete_ui_fonts();
