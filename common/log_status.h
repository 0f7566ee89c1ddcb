// Whether the audit log is being written, for whoever must show it: an audit log that silently
// stops is an audit gap. log_event keeps the state of its last attempt and tells the sink every
// change (the first attempt of a process included); the service publishes it for the console's
// dashboard ("audit log off: <reason>"), and is where a refusal also goes to the Windows Event Log.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "common/log.h"

enum class AuditLogProblem : uint32_t {
    none = 0,            // the last event was written
    bad_path = 1,        // log_file is not a full path without "." or ".."
    reparse_point = 2,   // a folder of the path is a link, junction or mount point
    foreign_owner = 3,   // a folder of the path belongs to someone untrusted
    not_a_folder = 4,    // a file stands where a folder of the path belongs
    not_created = 5,     // a missing folder could not be made
    file_link = 6,       // the log file is a reparse point or has a second name
    file_foreign_owner = 7,
    file_unwritable = 8, // the file cannot be opened or appended to
    no_log_file = 9,     // the settings name no log file
};
constexpr uint32_t audit_log_problem_last = 9;

AuditLogProblem audit_problem_of(LogFolderVerdict verdict);
// A short English reason, for log lines ("owner not trusted", ...); empty for none.
const wchar_t* audit_problem_text(AuditLogProblem problem);

// Called with the log lock held, so it must not log; path is the folder or file refused (empty
// when none).
using AuditLogSink = void (*)(AuditLogProblem problem, const wchar_t* path);
// Installs the sink (null removes it). The next log_event reports its state even when unchanged.
void set_audit_log_sink(AuditLogSink sink);

// --- published for the console: two values of the service's registry key, which only LocalSystem
// may change while the service runs (its guard) and everyone may read ---

constexpr const wchar_t* audit_problem_value = L"AuditLogProblem";  // REG_DWORD, an AuditLogProblem
constexpr const wchar_t* audit_path_value = L"AuditLogPath";        // REG_SZ, what was refused

// Writes the state into the service's key; false when it cannot.
bool publish_audit_status(AuditLogProblem problem, const wchar_t* path);
// Reads it back; false when the values are missing, unreadable or out of range (the console then
// takes the log for off: nothing says it is written).
bool read_audit_status(AuditLogProblem* problem, wchar_t* path, size_t cch_path);
