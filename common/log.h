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
// The log is written only where users cannot redirect or forge it (see prepare_log_folder); a
// refused folder is named once per process on the console, and its events are not written.
void log_event(const Settings* s, const wchar_t* format, ...);

// --- where the log may be written ---

constexpr size_t log_path_cch = 1024;

struct LogFolderFacts {
    bool exists;
    bool directory;
    bool reparse_point;   // a junction, mount point or link: it would send the log elsewhere
    bool owner_trusted;   // LocalSystem, Administrators, TrustedInstaller or this process's user
};

struct LogFolderPort {
    virtual ~LogFolderPort() = default;
    virtual LogFolderFacts look(const wchar_t* folder) = 0;
    // Creates the folder with owner Administrators and the log folder's protected DACL.
    virtual bool create(const wchar_t* folder) = 0;
};

enum class LogFolderVerdict { ready, bad_path, reparse_point, foreign_owner, not_a_folder, not_created };

// Walks the folders of log_file from the first below the volume or share root: a missing one is
// created, an existing one must be a folder, not a reparse point, and owned by someone trusted, so
// nobody else can replace or redirect what lies below it. An existing folder keeps its DACL (it
// may be shared with other programs). log_file must be a full path ("X:\...",
// "\\server\share\...", or either after "\\?\") without "." or ".." parts. On a refusal, refused
// names the folder (or the path) refused.
LogFolderVerdict prepare_log_folder(const wchar_t* log_file, LogFolderPort* port, wchar_t* refused,
                                    size_t cch_refused);
// Why a folder is refused, for the console line.
const wchar_t* log_folder_refusal_reason(LogFolderVerdict verdict);
// prepare_log_folder on this machine's folders, as the log does before its first event. With
// create false nothing is made: missing folders are taken as makeable and only existing ones judged.
LogFolderVerdict prepare_log_folder_on_disk(const wchar_t* log_file, bool create, wchar_t* refused,
                                            size_t cch_refused);

// --- appending in the runtime's UTF-8 text mode, without following a reparse point ---

// Opens path for appending (created when missing). Fails (INVALID_HANDLE_VALUE, last error
// ERROR_REPARSE_TAG_INVALID) when the file itself is a reparse point or has another name (a hard
// link), so it cannot stand for some other file.
void* open_log_file(const wchar_t* path);
// Appends text as the runtime's "a+, ccs=UTF-8" mode would: a byte-order mark first when the file
// is empty, each line feed written as carriage return and line feed, UTF-8.
bool append_text_mode_utf8(void* file, const wchar_t* text);
