#include "ui/dpi.h"

#include <windows.h>

namespace {

// Windows 10 1607 and later; looked up at run time so the program still starts on older systems.
using SetThreadDpiAwarenessContextFn = HANDLE(WINAPI*)(HANDLE);

// DPI_AWARENESS_CONTEXT_UNAWARE_GDISCALED (Windows 10 1809) and DPI_AWARENESS_CONTEXT_UNAWARE.
const HANDLE context_unaware_gdi_scaled = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-5));
const HANDLE context_unaware = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

}  // namespace

void use_fixed_layout_dpi_context() {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (!user32) return;
    auto set_context = reinterpret_cast<SetThreadDpiAwarenessContextFn>(
        reinterpret_cast<void*>(GetProcAddress(user32, "SetThreadDpiAwarenessContext")));
    if (!set_context) return;
    if (!set_context(context_unaware_gdi_scaled)) set_context(context_unaware);
}
