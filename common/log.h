// The audit log: one time-stamped UTF-8 line per event, appended and never rewritten.
#pragma once
#include <stddef.h>

struct Settings;

constexpr size_t log_message_cch = 1024;  // a message keeps at most 1,023 characters
constexpr size_t log_line_cch = 1200;

// Replaces control characters (line breaks included) by spaces, so one event stays one line.
void log_sanitize(wchar_t* message);
// "[YYYY-MM-DD hh:mm:ss] message\r\n" for the given local time.
void log_format_line(wchar_t* line, size_t cch_line, unsigned year, unsigned month, unsigned day,
                     unsigned hour, unsigned minute, unsigned second, const wchar_t* message);
// Appends one event to s->log_file; silent on every failure; nothing when s or its log_file is empty.
void log_event(const Settings* s, const wchar_t* format, ...);
