#include "common/event_log.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <set>
#include <string>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "tests/support/fake_event_sink.h"
#include "tests/support/test_files.h"

TEST(AuditEvents, TableHoldsTheFrozenIdsTypesAndInsertCounts) {
    struct Expected {
        uint32_t id;
        EventType type;
        uint16_t inserts;
    };
    const Expected frozen[] = {
        {1000, EventType::information, 2}, {1001, EventType::information, 0}, {2000, EventType::information, 4},
        {2001, EventType::information, 4}, {2002, EventType::warning, 3},     {3001, EventType::information, 4},
        {3002, EventType::warning, 4},     {4000, EventType::warning, 2},     {5000, EventType::warning, 1},
        {5001, EventType::information, 1}, {6000, EventType::error, 2},
    };
    ASSERT_EQ(audit_event_count, sizeof frozen / sizeof frozen[0]);
    std::set<uint32_t> ids;
    for (const Expected& e : frozen) {
        const AuditEventInfo* info = audit_event_info(static_cast<AuditEvent>(e.id));
        ASSERT_NE(info, nullptr) << e.id;
        EXPECT_EQ(static_cast<uint32_t>(info->id), e.id);
        EXPECT_EQ(info->type, e.type) << e.id;
        EXPECT_EQ(info->insert_count, e.inserts) << e.id;
        EXPECT_LE(info->insert_count, event_max_inserts);
        ids.insert(static_cast<uint32_t>(info->id));
    }
    EXPECT_EQ(ids.size(), audit_event_count);
    // The values ReportEventW takes.
    EXPECT_EQ(static_cast<uint16_t>(EventType::error), EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(static_cast<uint16_t>(EventType::warning), EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(static_cast<uint16_t>(EventType::information), EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(audit_event_info(static_cast<AuditEvent>(3000)), nullptr);
}

TEST(AuditEvents, InsertsKeepTheTextLogsRulesAndAreCut) {
    std::unique_ptr<PreparedEvent> event(new PreparedEvent());
    std::wstring long_path = L"C:\\" + std::wstring(2000, L'x');
    const wchar_t* inserts[] = {L"C:\\a\r\nb.exe", L"--x\t%1 %%2\x1b", L"PC\\alice", long_path.c_str()};
    ASSERT_TRUE(prepare_event(AuditEvent::command_denied, inserts, 4, event.get()));
    EXPECT_EQ(event->id, 3002u);
    EXPECT_EQ(event->type, EventType::warning);
    EXPECT_EQ(event->count, 4);
    EXPECT_STREQ(event->strings[0], L"C:\\a  b.exe");
    EXPECT_STREQ(event->strings[1], L"--x %1 %%2 ");  // an insert is never read as a format
    EXPECT_STREQ(event->strings[2], L"PC\\alice");
    EXPECT_EQ(wcslen(event->strings[3]), event_insert_cch - 1);
    EXPECT_EQ(long_path.compare(0, event_insert_cch - 1, event->strings[3]), 0);

    // Fewer or null inserts are empty texts; inserts past the event's count are not carried.
    const wchar_t* some[] = {L"C:\\p.exe", nullptr};
    ASSERT_TRUE(prepare_event(AuditEvent::program_denied, some, 2, event.get()));
    EXPECT_EQ(event->count, 3);
    EXPECT_STREQ(event->strings[0], L"C:\\p.exe");
    EXPECT_STREQ(event->strings[1], L"");
    EXPECT_STREQ(event->strings[2], L"");
    ASSERT_TRUE(prepare_event(AuditEvent::service_stopped, inserts, 4, event.get()));
    EXPECT_EQ(event->count, 0);
    EXPECT_STREQ(event->strings[0], L"");

    event->id = 77;
    EXPECT_FALSE(prepare_event(static_cast<AuditEvent>(2003), inserts, 4, event.get()));
    EXPECT_EQ(event->id, 77u);
}

TEST(AuditEvents, ReachTheSinkWithTypeIdAndStrings) {
    FakeEventSink sink;
    audit_event(nullptr, AuditEvent::file_restored, L"C:\\Program Files\\Sentrel\\SentrelSvc.json", L"deleted", L"extra");
    audit_event(nullptr, AuditEvent::service_started, L"3", L"1.0.0.0");
    auto events = sink.taken();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, EventType::warning);
    EXPECT_EQ(events[0].id, 4000u);
    EXPECT_EQ(events[0].strings, (std::vector<std::wstring>{L"C:\\Program Files\\Sentrel\\SentrelSvc.json", L"deleted"}));
    EXPECT_EQ(events[1].type, EventType::information);
    EXPECT_EQ(events[1].strings, (std::vector<std::wstring>{L"3", L"1.0.0.0"}));
}

TEST(AuditEvents, FailuresAreCountedAndNamedOnceNeverRetried) {
    TempFolder folder;
    Settings s = {};
    text_copy(s.log_file, folder.file(L"sentrel.log").c_str());
    FakeEventSink sink(ERROR_ACCESS_DENIED);
    uint32_t before = audit_event_failures();
    for (int i = 0; i < 3; ++i) audit_event(&s, AuditEvent::service_stopped);
    EXPECT_EQ(sink.calls, 3);  // one try per event
    EXPECT_EQ(audit_event_failures(), before + 3);
    std::string log = read_file_bytes(folder.file(L"sentrel.log"));
    if (before == 0) {
        EXPECT_NE(log.find("event log write failed: error=5, later failures only counted\r\r\n"), std::string::npos) << log;
        EXPECT_EQ(log.find("event log write failed", log.find("event log write failed") + 1), std::string::npos) << log;
    } else {
        EXPECT_EQ(log.find("event log write failed"), std::string::npos) << log;  // named before already
    }
}

TEST(AuditEvents, ARefusedLogFolderIsAnErrorEventOnce) {
    TempFolder folder;
    ASSERT_TRUE(write_file_bytes(folder.file(L"logs"), "a file where the log folder must be"));
    Settings s = {};
    text_copy(s.log_file, (folder.file(L"logs") + L"\\sentrel.log").c_str());
    FakeEventSink sink;
    log_event(&s, L"service stopped");
    log_event(&s, L"service stopped");  // the same refusal is named once
    auto events = sink.taken();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, 6000u);
    EXPECT_EQ(events[0].type, EventType::error);
    ASSERT_EQ(events[0].strings.size(), 2u);
    EXPECT_EQ(events[0].strings[0], folder.file(L"logs"));
    EXPECT_EQ(events[0].strings[1], log_folder_refusal_reason(LogFolderVerdict::not_a_folder));
}
