#include "common/log.h"

#include <windows.h>
#include <stdio.h>

#include "common/settings.h"
#include "common/text.h"

void log_sanitize(wchar_t* message) {
    for (wchar_t* c = message; *c; ++c) {
        if (*c < 0x20 || *c == 0x7F) *c = L' ';
    }
}

void log_format_line(wchar_t* line, size_t cch_line, unsigned year, unsigned month, unsigned day,
                     unsigned hour, unsigned minute, unsigned second, const wchar_t* message) {
    text_format(line, cch_line, L"[%04u-%02u-%02u %02u:%02u:%02u] %s\r\n", year, month, day, hour,
                minute, second, message);
}

void log_event(const Settings* s, const wchar_t* format, ...) {
    if (!s || s->log_file[0] == L'\0' || !format) return;

    wchar_t message[log_message_cch];
    va_list args;
    va_start(args, format);
    text_vformat(message, log_message_cch, format, args);  // cut at 1,023 characters
    va_end(args);
    log_sanitize(message);

    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t line[log_line_cch];
    log_format_line(line, log_line_cch, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                    now.wSecond, message);

    create_parent_folder(s->log_file);
    // The runtime's UTF-8 text mode: a new file gets a BOM, and "\n" becomes "\r\n" on disk.
    FILE* file = _wfopen(s->log_file, L"a+, ccs=UTF-8");
    if (!file) return;
    fputws(line, file);
    fclose(file);
}
