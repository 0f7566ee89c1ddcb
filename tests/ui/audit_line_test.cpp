// The dashboard's audit log line: shown while the service runs and its log is not written, and
// also when the service's state cannot be read.
#include "ui/audit_line.h"

#include <gtest/gtest.h>

#include <string>

#include "common/lang.h"

namespace {

class AuditLineTest : public ::testing::Test {
protected:
    void SetUp() override { set_language(lang_code_en_us); }
    void TearDown() override { set_language(nullptr); }
};

std::wstring line(bool running, bool known, AuditLogProblem problem, const wchar_t* path) {
    wchar_t out[audit_line_cch] = L"untouched";
    if (!audit_off_line(running, known, problem, path, out, audit_line_cch)) return L"(none)";
    return out;
}

}  // namespace

TEST_F(AuditLineTest, OffWithItsReasonWhileTheServiceRuns) {
    EXPECT_EQ(line(true, true, AuditLogProblem::none, L""), L"(none)");
    EXPECT_EQ(line(false, true, AuditLogProblem::foreign_owner, L"D:\\audit"), L"(none)") << "a stopped service logs nothing";
    EXPECT_EQ(line(true, true, AuditLogProblem::foreign_owner, L"D:\\audit"),
              L"audit log off: a folder of the log path is owned by an untrusted account (D:\\audit)");
    EXPECT_EQ(line(true, true, AuditLogProblem::reparse_point, L"D:\\link"),
              L"audit log off: a folder of the log path is a link or mount point (D:\\link)");
    EXPECT_EQ(line(true, true, AuditLogProblem::no_log_file, L""), L"audit log off: no log file is set");
    // Nothing published (an older service, or a key that cannot be read): off, never assumed on.
    EXPECT_EQ(line(true, false, AuditLogProblem::none, L""), L"audit log off: the service reports no audit log state");
    // Every problem has its own reason.
    for (uint32_t p = 1; p <= audit_log_problem_last; ++p) {
        std::wstring text = line(true, true, static_cast<AuditLogProblem>(p), L"");
        EXPECT_EQ(text.rfind(L"audit log off: ", 0), 0u) << p;
        EXPECT_EQ(text.find(L"reports no audit log state"), std::wstring::npos) << p;
    }
    set_language(lang_code_zh_cn);
    EXPECT_EQ(line(true, true, AuditLogProblem::file_link, L"C:\\x.log"), L"审计日志已关闭：日志文件是链接或有第二个名称（C:\\x.log）");
}
