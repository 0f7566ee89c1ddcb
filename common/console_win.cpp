#include "common/console.h"

#include <windows.h>
#include <stdarg.h>

#include "common/text.h"

namespace {

constexpr size_t console_line_cch = 4096;

void write_text(DWORD std_handle, const wchar_t* text) {
    HANDLE out = GetStdHandle(std_handle);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    DWORD cch = static_cast<DWORD>(text_length(text, console_line_cch));
    DWORD mode = 0;
    DWORD done = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text, cch, &done, nullptr);
        return;
    }
    char bytes[console_line_cch * 3];
    int cb = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(cch), bytes, sizeof bytes, nullptr, nullptr);
    if (cb > 0) WriteFile(out, bytes, static_cast<DWORD>(cb), &done, nullptr);
}

void vprint(DWORD std_handle, const wchar_t* format, va_list args) {
    wchar_t line[console_line_cch];
    text_vformat(line, console_line_cch, format, args);
    write_text(std_handle, line);
}

}  // namespace

void console_print(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    vprint(STD_OUTPUT_HANDLE, format, args);
    va_end(args);
}

void console_eprint(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    vprint(STD_ERROR_HANDLE, format, args);
    va_end(args);
}
