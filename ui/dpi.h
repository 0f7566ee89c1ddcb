// DPI context of SentrelUI's windows.
#pragma once

// The manifest makes the process per-monitor DPI aware (v2), but the dialog and the console lay
// out their windows in fixed 96-dpi pixels. Until a layout scales itself, the calling thread's
// windows are created DPI-unaware with GDI scaling: Windows scales them as a whole and draws their
// text sharply, and the fonts (sized from the screen's logical DPI) match the layout. Systems
// without the call (before Windows 10 1607) run the process DPI-unaware anyway.
void use_fixed_layout_dpi_context();
