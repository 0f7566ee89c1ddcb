#include "common/log_status.h"

AuditLogProblem audit_problem_of(LogFolderVerdict verdict) {
    switch (verdict) {
        case LogFolderVerdict::ready: return AuditLogProblem::none;
        case LogFolderVerdict::bad_path: return AuditLogProblem::bad_path;
        case LogFolderVerdict::reparse_point: return AuditLogProblem::reparse_point;
        case LogFolderVerdict::foreign_owner: return AuditLogProblem::foreign_owner;
        case LogFolderVerdict::not_a_folder: return AuditLogProblem::not_a_folder;
        case LogFolderVerdict::not_created: return AuditLogProblem::not_created;
    }
    return AuditLogProblem::not_created;
}

const wchar_t* audit_problem_text(AuditLogProblem problem) {
    switch (problem) {
        case AuditLogProblem::none: return L"";
        case AuditLogProblem::bad_path: return L"the log path is not a full path without . or ..";
        case AuditLogProblem::reparse_point: return L"a folder of the path is a link or mount point";
        case AuditLogProblem::foreign_owner: return L"a folder of the path is owned by someone not trusted";
        case AuditLogProblem::not_a_folder: return L"a file stands where a folder of the path belongs";
        case AuditLogProblem::not_created: return L"a folder of the path cannot be created";
        case AuditLogProblem::file_link: return L"the log file is a link or has a second name";
        case AuditLogProblem::file_foreign_owner: return L"the log file is owned by someone not trusted";
        case AuditLogProblem::file_unwritable: return L"the log file cannot be written";
        case AuditLogProblem::no_log_file: return L"no log file is set";
    }
    return L"unknown";
}
