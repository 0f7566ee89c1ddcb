// The dashboard's audit log line. While the service runs, the console shows "audit log off:
// <reason>" unless the service has published that its last event was written: a state that
// cannot be read counts as off, so a silent audit gap always shows.
#pragma once
#include <stddef.h>

#include "common/log_status.h"

constexpr int id_audit_line = 223;  // the dashboard's label for the line
constexpr size_t audit_line_cch = 1200;

// known: the published state could be read (problem and path are then what it says). False when
// no line is due (the service is not running, or the log is written); otherwise out holds the line
// in the current language.
bool audit_off_line(bool running, bool known, AuditLogProblem problem, const wchar_t* path, wchar_t* out,
                    size_t cch_out);
