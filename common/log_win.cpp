// The event log's writer. Every event opens the file, appends one line and closes it. Before the
// first event of a process (and after the log path changes) the log's folders are checked and
// missing ones created with a protected DACL (prepare_log_folder); a folder found fit is not looked
// at again by this process, since its trusted owner decides who may change what lies below it (a
// folder deleted meanwhile is checked and created again). The file itself is opened without
// following a reparse point, refused when it has a second name (a hard link), and on its first
// open its owner is checked as well. One lock keeps the threads of a process from checking or
// creating at the same time.
#include "common/log.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <string.h>

#include "common/console.h"
#include "common/event_log.h"
#include "common/handle.h"
#include "common/log_reclaim.h"
#include "common/log_status.h"
#include "common/permissions.h"
#include "common/settings.h"
#include "common/text.h"

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;
wchar_t g_ready_folder[log_path_cch];  // the log folder found fit; the file's owner is checked once
bool g_file_checked = false;
wchar_t g_reported[log_path_cch];      // the refusal named for the outage going on; empty once a line is written
wchar_t g_reclaim_note[log_message_cch];  // what a renamed-aside default folder held: the new log's first line
AuditLogSink g_sink = nullptr;
bool g_sink_told = false;               // the sink has heard the state below
AuditLogProblem g_problem = AuditLogProblem::none;
wchar_t g_problem_path[log_path_cch];

struct DiskFolders : LogReclaimPort {
    LogFolderFacts look(const wchar_t* folder) override {
        LogFolderFacts facts = {};
        DWORD attributes = GetFileAttributesW(folder);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            DWORD error = GetLastError();
            // Missing; anything else (access denied) is a folder we cannot vouch for.
            facts.exists = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
            return facts;
        }
        facts.exists = true;
        facts.directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        facts.reparse_point = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (!facts.directory || facts.reparse_point) return facts;
        OwnedLocal sd;
        PSID owner = nullptr;
        if (GetNamedSecurityInfoW(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                  nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR*>(sd.put())) == ERROR_SUCCESS)
            facts.owner_trusted = owner_is_trusted(owner);
        return facts;
    }

    bool create(const wchar_t* folder) override {
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
        OwnedLocal sd;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(guard_sddl(Guarded::log_folder, Guard::protect),
                                                                  SDDL_REVISION_1,
                                                                  reinterpret_cast<PSECURITY_DESCRIPTOR*>(sd.put()), nullptr))
            return false;
        attributes.lpSecurityDescriptor = sd.get();
        return CreateDirectoryW(folder, &attributes) != FALSE;
    }

    // Renames what stands at folder itself (a link, never what it points to) to new_path, replacing
    // nothing. The object is opened without following a reparse point and renamed through that
    // handle, only when the handle is folder itself: where links are followed anyway (Wine), the
    // handle is the link's target, and that is never moved. The new name is given as a full NT path
    // ("\??\C:\..."): a bare name is renamed within its folder on Windows but resolved against the
    // current folder under Wine.
    bool move_aside(const wchar_t* folder, const wchar_t* new_path) override {
        wchar_t nt_path[log_path_cch + 8];
        if (text_format(nt_path, log_path_cch + 8, L"\\??\\%s", new_path) != text_ok) return false;
        OwnedHandle object(CreateFileW(folder, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!object) return false;
        wchar_t final_path[log_path_cch + 8];
        DWORD cch = GetFinalPathNameByHandleW(object.get(), final_path, log_path_cch + 8, FILE_NAME_NORMALIZED);
        if (cch == 0 || cch >= log_path_cch + 8) return false;
        const wchar_t* opened = wcsncmp(final_path, L"\\\\?\\", 4) == 0 ? final_path + 4 : final_path;
        if (!text_equal_nocase(opened, folder)) return false;
        size_t cch_name = text_length(nt_path, log_path_cch + 8);
        alignas(FILE_RENAME_INFO) BYTE buffer[sizeof(FILE_RENAME_INFO) + (log_path_cch + 8) * sizeof(wchar_t)] = {};
        auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
        rename->ReplaceIfExists = FALSE;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = static_cast<DWORD>(cch_name * sizeof(wchar_t));
        memcpy(rename->FileName, nt_path, cch_name * sizeof(wchar_t));
        return SetFileInformationByHandle(object.get(), FileRenameInfo, rename,
                                          static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + cch_name * sizeof(wchar_t))) != FALSE;
    }
};

// Tells the sink when the state changed (or it has not heard it yet).
void set_problem(AuditLogProblem problem, const wchar_t* path) {
    if (g_sink_told && problem == g_problem && wcscmp(path, g_problem_path) == 0) return;
    g_problem = problem;
    text_copy(g_problem_path, path);
    if (!g_sink) return;
    g_sink(problem, path);
    g_sink_told = true;
}

// Once per outage, path and reason: on the console run (a service or a window has no console) and
// in the Windows Event Log. A line written ends the outage, so the next one is named again.
void report_refusal(const wchar_t* refused, const wchar_t* reason) {
    wchar_t key[log_path_cch];
    text_format(key, log_path_cch, L"%s|%s", refused, reason);
    if (wcscmp(key, g_reported) == 0) return;
    text_copy(g_reported, key);
    console_print(L"日志文件夹不可用，事件未写入日志: %s（%s）\n", refused, reason);
    audit_event(nullptr, AuditEvent::log_unwritable, refused, reason);
}

constexpr const wchar_t* unwritable_reason = L"日志文件无法打开或写入";

bool file_owner_trusted(HANDLE file) {
    OwnedLocal sd;
    PSID owner = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        reinterpret_cast<PSECURITY_DESCRIPTOR*>(sd.put())) != ERROR_SUCCESS)
        return false;
    return owner_is_trusted(owner);
}

// The log's folders checked (and created) unless this folder was found fit before; false, named on
// the console once, when one is refused. On the default path a refused folder is renamed aside.
bool log_folder_ready(const wchar_t* log_file, const wchar_t* folder) {
    if (wcscmp(folder, g_ready_folder) == 0) return true;
    g_ready_folder[0] = L'\0';
    DiskFolders disk;
    wchar_t refused[log_path_cch] = {};
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t stamp[log_stamp_cch];
    text_format(stamp, log_stamp_cch, L"%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                now.wMinute, now.wSecond);
    LogReclaim reclaim = {};
    LogFolderVerdict verdict = prepare_log_folder_reclaiming(log_file, &disk, stamp, refused, log_path_cch, &reclaim);
    if (reclaim.moved) {
        text_format(g_reclaim_note, log_message_cch,
                    L"SECURITY: log folder %s was refused (%s) and renamed to %s; a new protected log folder was created",
                    reclaim.folder, audit_problem_text(audit_problem_of(reclaim.found)), reclaim.moved_to);
        log_sanitize(g_reclaim_note);
    }
    if (verdict != LogFolderVerdict::ready) {
        report_refusal(refused, log_folder_refusal_reason(verdict));
        set_problem(audit_problem_of(verdict), refused);
        return false;
    }
    text_copy(g_ready_folder, folder);
    g_file_checked = false;
    return true;
}

// The log file in a folder found fit, or none when the folder or the file is refused.
HANDLE open_checked_log(const wchar_t* log_file) {
    wchar_t folder[log_path_cch];
    text_copy(folder, log_file);
    wchar_t* name = folder;
    for (wchar_t* p = folder; *p; ++p) {
        if (*p == L'\\' || *p == L'/') name = p;
    }
    *name = L'\0';
    if (!log_folder_ready(log_file, folder)) return INVALID_HANDLE_VALUE;
    HANDLE file = open_log_file(log_file);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND) {
        // The folder was deleted since it was checked: check and create it again.
        g_ready_folder[0] = L'\0';
        if (!log_folder_ready(log_file, folder)) return INVALID_HANDLE_VALUE;
        file = open_log_file(log_file);
    }
    if (file == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_REPARSE_TAG_INVALID) {
            report_refusal(log_file, L"日志文件是重解析点或硬链接");
            set_problem(AuditLogProblem::file_link, log_file);
        } else {
            report_refusal(log_file, unwritable_reason);
            set_problem(AuditLogProblem::file_unwritable, log_file);
        }
        return INVALID_HANDLE_VALUE;
    }
    if (!g_file_checked) {
        if (!file_owner_trusted(file)) {
            CloseHandle(file);
            report_refusal(log_file, L"日志文件的所有者不是 SYSTEM、Administrators 或当前用户");
            set_problem(AuditLogProblem::file_foreign_owner, log_file);
            return INVALID_HANDLE_VALUE;
        }
        g_file_checked = true;
    }
    return file;
}

}  // namespace

LogFolderVerdict prepare_log_folder_on_disk(const wchar_t* log_file, bool create, wchar_t* refused,
                                            size_t cch_refused) {
    struct LookOnly : DiskFolders {
        bool create(const wchar_t* folder) override { return folder != nullptr; }  // taken as makeable
    };
    DiskFolders disk;
    LookOnly look_only;
    return prepare_log_folder(log_file, create ? static_cast<LogFolderPort*>(&disk) : &look_only, refused, cch_refused);
}

void* open_log_file(const wchar_t* path) {
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    // The attributes and the link count only: GetFileInformationByHandle would ask the volume for
    // its serial number too, on every line (under Wine a round trip to the mount manager).
    FILE_BASIC_INFO basic = {};
    FILE_STANDARD_INFO standard = {};
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || standard.NumberOfLinks > 1) {
        CloseHandle(file);
        SetLastError(ERROR_REPARSE_TAG_INVALID);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

bool append_text_mode_utf8(void* file, const wchar_t* text) {
    // Each line feed becomes carriage return and line feed, as the runtime's text mode writes it.
    wchar_t expanded[log_line_cch * 2];
    size_t cch = 0;
    for (const wchar_t* c = text; *c && cch + 2 < log_line_cch * 2; ++c) {
        if (*c == L'\n') expanded[cch++] = L'\r';
        expanded[cch++] = *c;
    }
    char bytes[3 + log_line_cch * 2 * 3];
    int cb = 0;
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(file, &size) && size.QuadPart == 0) {
        memcpy(bytes, "\xEF\xBB\xBF", 3);
        cb = 3;
    }
    int cb_text = WideCharToMultiByte(CP_UTF8, 0, expanded, static_cast<int>(cch), bytes + cb,
                                      static_cast<int>(sizeof bytes) - cb, nullptr, nullptr);
    if (cch > 0 && cb_text <= 0) return false;
    cb += cb_text;
    DWORD written = 0;
    return WriteFile(file, bytes, static_cast<DWORD>(cb), &written, nullptr) && written == static_cast<DWORD>(cb);
}

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
    if (!s || !format) return;
    if (s->log_file[0] == L'\0') {
        AcquireSRWLockExclusive(&g_lock);
        set_problem(AuditLogProblem::no_log_file, L"");
        ReleaseSRWLockExclusive(&g_lock);
        return;
    }

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

    AcquireSRWLockExclusive(&g_lock);
    HANDLE file = open_checked_log(s->log_file);
    if (file != INVALID_HANDLE_VALUE) {
        bool written = true;
        if (g_reclaim_note[0]) {
            wchar_t note[log_line_cch];
            log_format_line(note, log_line_cch, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                            g_reclaim_note);
            written = append_text_mode_utf8(file, note);
            if (written) g_reclaim_note[0] = L'\0';
        }
        written = written && append_text_mode_utf8(file, line);
        CloseHandle(file);
        if (written) {
            g_reported[0] = L'\0';
            set_problem(AuditLogProblem::none, L"");
        } else {
            report_refusal(s->log_file, unwritable_reason);
            set_problem(AuditLogProblem::file_unwritable, s->log_file);
        }
    }
    ReleaseSRWLockExclusive(&g_lock);
}

void set_audit_log_sink(AuditLogSink sink) {
    AcquireSRWLockExclusive(&g_lock);
    g_sink = sink;
    g_sink_told = false;
    ReleaseSRWLockExclusive(&g_lock);
}
