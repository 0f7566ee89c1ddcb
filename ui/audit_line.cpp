#include "ui/audit_line.h"

#include "common/lang.h"
#include "common/text.h"

namespace {

struct Reason {
    AuditLogProblem problem;
    const wchar_t* en_us;
    const wchar_t* zh_cn;
};

const Reason reasons[] = {
    {AuditLogProblem::bad_path, L"the log path is not a full path", L"日志路径不是完整路径"},
    {AuditLogProblem::reparse_point, L"a folder of the log path is a link or mount point", L"日志路径中的文件夹是链接或挂载点"},
    {AuditLogProblem::foreign_owner, L"a folder of the log path is owned by an untrusted account",
     L"日志路径中的文件夹的所有者不受信任"},
    {AuditLogProblem::not_a_folder, L"a file stands where a folder of the log path belongs", L"日志路径中的文件夹位置被文件占用"},
    {AuditLogProblem::not_created, L"a folder of the log path cannot be created", L"无法创建日志路径中的文件夹"},
    {AuditLogProblem::file_link, L"the log file is a link or has a second name", L"日志文件是链接或有第二个名称"},
    {AuditLogProblem::file_foreign_owner, L"the log file is owned by an untrusted account", L"日志文件的所有者不受信任"},
    {AuditLogProblem::file_unwritable, L"the log file cannot be written", L"日志文件无法写入"},
    {AuditLogProblem::no_log_file, L"no log file is set", L"未设置日志文件"},
};

}  // namespace

bool audit_off_line(bool running, bool known, AuditLogProblem problem, const wchar_t* path, wchar_t* out,
                    size_t cch_out) {
    if (!running || (known && problem == AuditLogProblem::none)) return false;
    bool english = is_english_code(current_language());
    const wchar_t* reason = english ? L"the service reports no audit log state" : L"服务未报告审计日志状态";
    for (const Reason& r : reasons) {
        if (known && r.problem == problem) reason = english ? r.en_us : r.zh_cn;
    }
    const wchar_t* format = english ? L"audit log off: %s" : L"审计日志已关闭：%s";
    text_format(out, cch_out, format, reason);
    if (known && path && path[0]) {
        text_append(out, cch_out, english ? L" (" : L"（");
        text_append(out, cch_out, path);
        text_append(out, cch_out, english ? L")" : L"）");
    }
    return true;
}
