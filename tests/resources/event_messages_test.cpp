// SentrelSvc.exe's message table, read back as the Event Viewer reads it: every event id of
// common/event_log.h renders in English and in Simplified Chinese with all of its insertion
// strings, and the ids windmc gave the messages are the frozen ones.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "common/event_log.h"
#include "common/settings.h"
#include "events.h"  // windmc's ids of service/events.mc

namespace {

constexpr uint32_t message_ids[] = {
    SN_EVENT_SERVICE_STARTED, SN_EVENT_SERVICE_STOPPED,   SN_EVENT_PROGRAM_STOPPED,     SN_EVENT_PROGRAM_RELAUNCHED,
    SN_EVENT_PROGRAM_DENIED,  SN_EVENT_COMMAND_APPROVED,  SN_EVENT_COMMAND_DENIED,      SN_EVENT_FILE_RESTORED,
    SN_EVENT_UNINSTALL_AUTHORIZED, SN_EVENT_UNINSTALL_FINISHED, SN_EVENT_LOG_UNWRITABLE,
};
static_assert(sizeof message_ids / sizeof message_ids[0] == audit_event_count, "one message per event");
static_assert(SN_EVENT_SERVICE_STARTED == static_cast<uint32_t>(AuditEvent::service_started), "frozen id");
static_assert(SN_EVENT_SERVICE_STOPPED == static_cast<uint32_t>(AuditEvent::service_stopped), "frozen id");
static_assert(SN_EVENT_PROGRAM_STOPPED == static_cast<uint32_t>(AuditEvent::program_stopped), "frozen id");
static_assert(SN_EVENT_PROGRAM_RELAUNCHED == static_cast<uint32_t>(AuditEvent::program_relaunched), "frozen id");
static_assert(SN_EVENT_PROGRAM_DENIED == static_cast<uint32_t>(AuditEvent::program_denied), "frozen id");
static_assert(SN_EVENT_COMMAND_APPROVED == static_cast<uint32_t>(AuditEvent::command_approved), "frozen id");
static_assert(SN_EVENT_COMMAND_DENIED == static_cast<uint32_t>(AuditEvent::command_denied), "frozen id");
static_assert(SN_EVENT_FILE_RESTORED == static_cast<uint32_t>(AuditEvent::file_restored), "frozen id");
static_assert(SN_EVENT_UNINSTALL_AUTHORIZED == static_cast<uint32_t>(AuditEvent::uninstall_authorized), "frozen id");
static_assert(SN_EVENT_UNINSTALL_FINISHED == static_cast<uint32_t>(AuditEvent::uninstall_finished), "frozen id");
static_assert(SN_EVENT_LOG_UNWRITABLE == static_cast<uint32_t>(AuditEvent::log_unwritable), "frozen id");

struct DataModule {
    HMODULE module;
    explicit DataModule(const wchar_t* path)
        : module(LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    ~DataModule() {
        if (module) FreeLibrary(module);
    }
    DataModule(const DataModule&) = delete;
    DataModule& operator=(const DataModule&) = delete;
};

// The message as the Event Viewer formats it, or "<error N>".
std::wstring render(HMODULE module, uint32_t id, WORD language, const wchar_t* const* inserts) {
    wchar_t text[2048] = L"";
    DWORD cch = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id, language, text,
                               2048, reinterpret_cast<va_list*>(const_cast<wchar_t**>(inserts)));
    if (cch == 0) return L"<error " + std::to_wstring(GetLastError()) + L">";
    return std::wstring(text, cch);
}

}  // namespace

TEST(EventMessages, EveryEventRendersInBothLanguagesWithAllItsInserts) {
    wchar_t path[1024] = L"";
    ASSERT_TRUE(path_beside_exe(L"SentrelSvc.exe", path, 1024));
    DataModule exe(path);
    ASSERT_NE(exe.module, nullptr) << GetLastError();
    // Inserts that a second formatting pass would change, and a five-digit marker per insert.
    const wchar_t* inserts[event_max_inserts] = {L"<10001 %2>", L"<10002 %%1>", L"<10003>", L"<10004>"};
    for (const AuditEventInfo& event : audit_events) {
        uint32_t id = static_cast<uint32_t>(event.id);
        std::wstring english = render(exe.module, id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), inserts);
        std::wstring chinese = render(exe.module, id, MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), inserts);
        SCOPED_TRACE(testing::Message() << "event " << id);
        EXPECT_EQ(english.find(L"<error"), std::wstring::npos) << std::string(english.begin(), english.end());
        EXPECT_EQ(chinese.find(L"<error"), std::wstring::npos);
        EXPECT_NE(english, chinese);
        bool has_chinese = false;
        for (wchar_t c : chinese) has_chinese |= c >= 0x4E00 && c <= 0x9FFF;
        EXPECT_TRUE(has_chinese);
        for (size_t i = 0; i < event_max_inserts; ++i) {
            bool expected = i < event.insert_count;
            for (const std::wstring& text : {english, chinese}) {
                size_t at = text.find(inserts[i]);
                EXPECT_EQ(at != std::wstring::npos, expected) << "insert " << i + 1;
                if (at != std::wstring::npos) {
                    EXPECT_EQ(text.find(inserts[i], at + 1), std::wstring::npos);
                }
            }
        }
        // Only the inserts carry a percent sign: the message text has none left unformatted.
        std::wstring rest = english;
        for (const wchar_t* insert : inserts) {
            size_t at = rest.find(insert);
            if (at != std::wstring::npos) rest.erase(at, wcslen(insert));
        }
        EXPECT_EQ(rest.find(L'%'), std::wstring::npos);
    }
    EXPECT_EQ(render(exe.module, 3000, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), inserts).find(L"<error"), 0u);
}
