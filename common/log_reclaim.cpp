#include "common/log_reclaim.h"

#include "common/settings.h"
#include "common/text.h"

namespace {

constexpr int reclaim_rounds = 3;

// The product's own folders on the default path: C:\ProgramData\Sentrel and the logs folder in it.
bool product_folder(const wchar_t* folder) {
    wchar_t logs[log_path_cch];
    text_copy(logs, log_path_cch, default_log_path);
    size_t cch = text_length(logs, log_path_cch);
    while (cch > 0 && logs[cch - 1] != L'\\') --cch;
    if (cch == 0) return false;
    logs[cch - 1] = L'\0';  // C:\ProgramData\Sentrel\logs
    if (text_equal_nocase(folder, logs)) return true;
    while (cch > 0 && logs[cch - 1] != L'\\') --cch;
    if (cch == 0) return false;
    logs[cch - 1] = L'\0';  // C:\ProgramData\Sentrel
    return text_equal_nocase(folder, logs);
}

bool reclaimable(LogFolderVerdict v) {
    return v == LogFolderVerdict::reparse_point || v == LogFolderVerdict::foreign_owner ||
           v == LogFolderVerdict::not_a_folder;
}

}  // namespace

LogFolderVerdict prepare_log_folder_reclaiming(const wchar_t* log_file, LogReclaimPort* port, const wchar_t* stamp,
                                               wchar_t* refused, size_t cch_refused, LogReclaim* reclaim) {
    *reclaim = LogReclaim{};
    LogFolderVerdict verdict = prepare_log_folder(log_file, port, refused, cch_refused);
    if (!text_equal_nocase(log_file, default_log_path)) return verdict;
    for (int round = 0; round < reclaim_rounds && reclaimable(verdict) && product_folder(refused); ++round) {
        wchar_t aside[log_path_cch];
        TextResult named = round == 0 ? text_format(aside, log_path_cch, L"%s.refused-%s", refused, stamp)
                                      : text_format(aside, log_path_cch, L"%s.refused-%s-%d", refused, stamp, round);
        if (named != text_ok) return verdict;
        if (!port->move_aside(refused, aside)) return verdict;
        if (!reclaim->moved) {  // the first find is the one to report
            reclaim->moved = true;
            reclaim->found = verdict;
            text_copy(reclaim->folder, log_path_cch, refused);
            text_copy(reclaim->moved_to, log_path_cch, aside);
        }
        verdict = prepare_log_folder(log_file, port, refused, cch_refused);
    }
    return verdict;
}
