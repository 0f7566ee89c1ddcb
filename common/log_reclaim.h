// The default log folder belongs to the product. C:\ProgramData lets every user create folders
// (and the creator owns them), so anyone could make C:\ProgramData\Sentrel first, or put a link
// there, and the log would refuse it for good: the audit trail would be off without a word. A
// folder refused on the default path is therefore renamed aside ("Sentrel.refused-<time>") and a
// fresh protected one made; the first line in the new log says what was found. A custom log_file
// is the administrator's choice and is never moved: its refusal is reported (see log_status.h).
#pragma once
#include <stddef.h>

#include "common/log.h"

struct LogReclaimPort : LogFolderPort {
    // Renames (never copies) folder, or a link or file standing at its place, to new_path on the
    // same volume; false when it cannot (e.g. someone holds it open, or new_path exists).
    virtual bool move_aside(const wchar_t* folder, const wchar_t* new_path) = 0;
};

constexpr size_t log_stamp_cch = 16;  // "YYYYMMDD-hhmmss"

struct LogReclaim {
    bool moved;                          // a refused folder was renamed aside
    LogFolderVerdict found;              // why it was refused
    wchar_t folder[log_path_cch];        // what was refused
    wchar_t moved_to[log_path_cch];      // where it went
};

// prepare_log_folder, and for the default log path a folder refused as a reparse point, a
// foreign-owned folder or a file in a folder's place (C:\ProgramData\Sentrel or its logs, never
// C:\ProgramData itself) is renamed to "<folder>.refused-<stamp>" and the walk made again (a
// bounded number of times: someone may be making it again meanwhile). *reclaim says what was moved.
LogFolderVerdict prepare_log_folder_reclaiming(const wchar_t* log_file, LogReclaimPort* port, const wchar_t* stamp,
                                               wchar_t* refused, size_t cch_refused, LogReclaim* reclaim);
