// Outages of the audit log: each is named in the Windows Event Log once however many events it
// drops, a line written ends it (the next outage is named again), and a log file that cannot be
// opened is an outage like a refused folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/event_log.h"
#include "common/log.h"
#include "common/log_status.h"
#include "common/settings.h"
#include "common/text.h"
#include "tests/support/test_files.h"

namespace {

struct OutageEvents : EventSink {
    std::vector<std::wstring> named;  // "path|reason" of each log_unwritable event
    bool report(const PreparedEvent& event, uint32_t*) override {
        if (event.id == static_cast<uint32_t>(AuditEvent::log_unwritable))
            named.push_back(std::wstring(event.strings[0]) + L"|" + event.strings[1]);
        return true;
    }
};

std::vector<AuditLogProblem> g_states;
void remember(AuditLogProblem problem, const wchar_t*) { g_states.push_back(problem); }

// Another program holding the file without sharing it: the writer cannot open it.
HANDLE hold(const wchar_t* path) {
    return CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

TEST(AuditLogOutage, EachOutageIsNamedOnceAndTheNextOneAgain) {
    TempFolder tmp;
    OutageEvents events;
    EventSink* previous = set_event_sink(&events);
    g_states.clear();
    set_audit_log_sink(remember);
    Settings s = {};
    text_format(s.log_file, 1024, L"%s\\logs\\sentrel.log", tmp.path);
    const std::wstring unwritable = std::wstring(s.log_file) + L"|日志文件无法打开或写入";

    log_event(&s, L"one");
    HANDLE held = hold(s.log_file);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    log_event(&s, L"dropped a");
    log_event(&s, L"dropped b");
    EXPECT_EQ(events.named, std::vector<std::wstring>{unwritable});
    CloseHandle(held);
    log_event(&s, L"two");  // written: the outage is over
    held = hold(s.log_file);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    log_event(&s, L"dropped c");
    CloseHandle(held);
    log_event(&s, L"three");
    EXPECT_EQ(events.named, (std::vector<std::wstring>{unwritable, unwritable}));

    // A refused folder likewise: a file where the log folder belongs, then the folder, then the file again.
    Settings blocked = {};
    text_format(blocked.log_file, 1024, L"%s\\blocked\\sentrel.log", tmp.path);
    std::wstring blocker = tmp.file(L"blocked");
    ASSERT_TRUE(write_file_bytes(blocker, "x"));
    log_event(&blocked, L"dropped d");
    log_event(&blocked, L"dropped e");
    ASSERT_EQ(events.named.size(), 3u);
    EXPECT_EQ(events.named[2].substr(0, blocker.size() + 1), blocker + L"|");
    ASSERT_TRUE(DeleteFileW(blocker.c_str()));
    log_event(&blocked, L"four");
    ASSERT_TRUE(DeleteFileW(blocked.log_file));
    ASSERT_TRUE(RemoveDirectoryW(blocker.c_str()));
    ASSERT_TRUE(write_file_bytes(blocker, "x"));
    log_event(&blocked, L"dropped f");
    ASSERT_EQ(events.named.size(), 4u);
    EXPECT_EQ(events.named[3], events.named[2]);

    std::string bytes = read_file_bytes(s.log_file);
    EXPECT_NE(bytes.find("] one\r\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("] two\r\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("] three\r\r\n"), std::string::npos);
    EXPECT_EQ(bytes.find("dropped"), std::string::npos);
    // The dashboard heard every change: written, off, written, off, written, refused, written, refused.
    EXPECT_EQ(g_states, (std::vector<AuditLogProblem>{AuditLogProblem::none, AuditLogProblem::file_unwritable,
                                                      AuditLogProblem::none, AuditLogProblem::file_unwritable,
                                                      AuditLogProblem::none, AuditLogProblem::not_a_folder,
                                                      AuditLogProblem::none, AuditLogProblem::not_a_folder}));
    set_audit_log_sink(nullptr);
    set_event_sink(previous);
}
