#include "common/log.h"

#include <string.h>

#include "common/text.h"

namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool is_drive_root(const wchar_t* p) {
    bool letter = (p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z');
    return letter && p[1] == L':' && is_separator(p[2]);
}

// "server\share\": its length, 0 when either name is missing.
size_t share_root_length(const wchar_t* p) {
    size_t at = 0;
    for (int part = 0; part < 2; ++part) {
        size_t start = at;
        while (p[at] && !is_separator(p[at])) ++at;
        if (at == start || !p[at]) return 0;
        ++at;
    }
    return at;
}

// Length of the root of a full path ("C:\", "\\server\share\", either after "\\?\"), 0 when
// the path is not a full one (relative, drive-relative, or a device).
size_t root_length(const wchar_t* path) {
    if (wcsncmp(path, L"\\\\?\\", 4) == 0) {
        if (_wcsnicmp(path + 4, L"UNC\\", 4) == 0) {
            size_t share = share_root_length(path + 8);
            return share ? 8 + share : 0;
        }
        return is_drive_root(path + 4) ? 7 : 0;
    }
    if (is_drive_root(path)) return 3;
    if (is_separator(path[0]) && is_separator(path[1]) && path[2] != L'.' && path[2] != L'?') {
        size_t share = share_root_length(path + 2);
        return share ? 2 + share : 0;
    }
    return 0;
}

}  // namespace

LogFolderVerdict prepare_log_folder(const wchar_t* log_file, LogFolderPort* port, wchar_t* refused,
                                    size_t cch_refused) {
    size_t cch = text_length(log_file, log_path_cch);
    size_t at = root_length(log_file);
    if (cch >= log_path_cch || at == 0) {
        text_copy(refused, cch_refused, log_file);
        return LogFolderVerdict::bad_path;
    }
    // Every part after the root must be a real name; the last one is the file's.
    size_t last_separator = 0;
    for (size_t start = at; start <= cch;) {
        size_t end = start;
        while (end < cch && !is_separator(log_file[end])) ++end;
        size_t n = end - start;
        bool dots = (n == 1 || n == 2) && log_file[start] == L'.' && log_file[end - 1] == L'.';
        if (n == 0 || dots) {
            text_copy(refused, cch_refused, log_file);
            return LogFolderVerdict::bad_path;
        }
        if (end < cch) last_separator = end;
        start = end + 1;
    }
    wchar_t folder[log_path_cch];
    for (size_t end = at; last_separator != 0 && end <= last_separator; ++end) {
        if (end != last_separator && !is_separator(log_file[end])) continue;
        text_copy_n(folder, log_path_cch, log_file, end);
        LogFolderFacts facts = port->look(folder);
        if (!facts.exists) {
            if (port->create(folder)) continue;
            facts = port->look(folder);  // created meanwhile by another writer?
            if (!facts.exists) {
                text_copy(refused, cch_refused, folder);
                return LogFolderVerdict::not_created;
            }
        }
        LogFolderVerdict verdict = LogFolderVerdict::ready;
        if (facts.reparse_point) verdict = LogFolderVerdict::reparse_point;
        else if (!facts.directory) verdict = LogFolderVerdict::not_a_folder;
        else if (!facts.owner_trusted) verdict = LogFolderVerdict::foreign_owner;
        if (verdict != LogFolderVerdict::ready) {
            text_copy(refused, cch_refused, folder);
            return verdict;
        }
    }
    return LogFolderVerdict::ready;
}

const wchar_t* log_folder_refusal_reason(LogFolderVerdict verdict) {
    switch (verdict) {
        case LogFolderVerdict::ready: return L"";
        case LogFolderVerdict::bad_path: return L"日志路径必须是不含 . 或 .. 的完整路径";
        case LogFolderVerdict::reparse_point: return L"是重解析点（链接或挂载点）";
        case LogFolderVerdict::foreign_owner: return L"所有者不是 SYSTEM、Administrators 或当前用户";
        case LogFolderVerdict::not_a_folder: return L"不是可用的文件夹";
        case LogFolderVerdict::not_created: return L"无法创建";
    }
    return L"";
}
