#include "service/process_params.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <initializer_list>
#include <memory>
#include <string>

#include "common/handle.h"
#include "common/text.h"
#include "service/relaunch.h"
#include "tests/support/test_files.h"

TEST(ProcessParams, ArgumentsStartAfterTheFirstTokenAsTheRuntimeTakesIt) {
    struct Case {
        const wchar_t* command_line;
        const wchar_t* arguments;
    } const cases[] = {
        {L"notepad.exe report.txt", L" report.txt"},
        {L"\"C:\\Program Files\\app.exe\" \"my report.txt\" -x", L" \"my report.txt\" -x"},
        {L"\"C:\\a b\\app.exe\"", L""},
        {L"app.exe", L""},
        {L"app.exe\t-t", L"\t-t"},
        {L"\"C:\\a\\app.exe\"next", L"next"},  // quoted program glued to an argument
        {L"\"unclosed quote app.exe", L""},
        {L"C:\\evil.exe C:\\approved.exe", L" C:\\approved.exe"},  // only ever arguments
        {L"", L""},
    };
    for (const Case& c : cases) EXPECT_STREQ(arguments_after_program(c.command_line), c.arguments) << c.command_line;
}

TEST(ProcessParams, CommandLineIsTheApprovedProgramWithTheArgumentsAndItsLimit) {
    std::unique_ptr<wchar_t[]> out(new wchar_t[process_command_line_cch]);
    ASSERT_TRUE(relaunch_command_line(L"C:\\p\\app.exe", L" \"a b\" c", out.get(), process_command_line_cch));
    EXPECT_STREQ(out.get(), L"\"C:\\p\\app.exe\" \"a b\" c");
    ASSERT_TRUE(relaunch_command_line(L"C:\\p\\app.exe", L"next", out.get(), process_command_line_cch));
    EXPECT_STREQ(out.get(), L"\"C:\\p\\app.exe\" next");
    ASSERT_TRUE(relaunch_command_line(L"app.exe", nullptr, out.get(), process_command_line_cch));
    EXPECT_STREQ(out.get(), L"\"app.exe\"");

    // Exactly 32,767 characters is one too many for CreateProcess; one less fits.
    std::wstring program = L"C:\\p\\app.exe";  // 12, quoted 14
    std::wstring fits(32766 - 14, L'"');
    fits[0] = L' ';
    ASSERT_TRUE(relaunch_command_line(program.c_str(), fits.c_str(), out.get(), process_command_line_cch));
    EXPECT_EQ(wcslen(out.get()), 32766u);
    text_copy(out.get(), process_command_line_cch, L"untouched");
    EXPECT_FALSE(relaunch_command_line(program.c_str(), (fits + L"x").c_str(), out.get(), process_command_line_cch))
        << "too long";
    EXPECT_FALSE(relaunch_command_line(program.c_str(), L" a", out.get(), 16));
    EXPECT_FALSE(relaunch_command_line(L"", L" a", out.get(), process_command_line_cch));
    EXPECT_EQ(wcscmp(out.get(), L"untouched"), 0);
}

TEST(ProcessParams, FoldersAndRemoteStrings) {
    wchar_t out[16] = L"untouched";
    EXPECT_FALSE(folder_for_start(L"", out, 16));
    EXPECT_FALSE(folder_for_start(L"C:\\a\\", out, 4));
    EXPECT_STREQ(out, L"untouched");
    ASSERT_TRUE(folder_for_start(L"C:\\work\\", out, 16));
    EXPECT_STREQ(out, L"C:\\work");
    ASSERT_TRUE(folder_for_start(L"C:\\", out, 16));
    EXPECT_STREQ(out, L"C:\\");
    ASSERT_TRUE(folder_for_start(L"\\\\srv\\share\\", out, 16));
    EXPECT_STREQ(out, L"\\\\srv\\share");

    RemoteUnicodeString s = {8, 10, 0, 0x1000};
    EXPECT_TRUE(remote_string_usable(&s, 5));
    EXPECT_FALSE(remote_string_usable(&s, 4));  // no room for the terminator
    s.cb_length = 7;
    EXPECT_FALSE(remote_string_usable(&s, 100));  // odd length
    s.cb_length = 12;
    EXPECT_FALSE(remote_string_usable(&s, 100));  // longer than its maximum
    s = RemoteUnicodeString{8, 8, 0, 0};
    EXPECT_FALSE(remote_string_usable(&s, 100));  // text without a buffer
    s.cb_length = 0;
    EXPECT_TRUE(remote_string_usable(&s, 1));
}

TEST(ProcessParams, ReadsTheCommandLineAndFolderOfAnotherProcess) {
    TempFolder folder;
    wchar_t self[1024];
    ASSERT_NE(GetModuleFileNameW(nullptr, self, 1024), 0u);
    // A child held suspended: its parameters are in place before it runs a single instruction.
    std::wstring command_line = std::wstring(L"\"") + self + L"\" \"an argument\" --gtest_list_tests";
    std::unique_ptr<wchar_t[]> writable(new wchar_t[process_command_line_cch]);
    text_copy(writable.get(), process_command_line_cch, command_line.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessW(self, writable.get(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, folder.path,
                               &startup, &info));
    OwnedHandle process(info.hProcess), thread(info.hThread);
    OwnedHandle query(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, info.dwProcessId));
    ASSERT_TRUE(query.valid());
    std::unique_ptr<ProcessParams> params(new ProcessParams());
    read_process_params(query.get(), info.dwProcessId, params.get());
    TerminateProcess(process.get(), 0);
    WaitForSingleObject(process.get(), INFINITE);

    ASSERT_TRUE(params->have_command_line);
    EXPECT_EQ(std::wstring(params->command_line), command_line);
    ASSERT_TRUE(params->have_folder);
    wchar_t expected[1024], got[1024];
    ASSERT_TRUE(folder_for_start(params->folder, got, 1024));
    text_copy(expected, folder.path);
    EXPECT_TRUE(text_equal_nocase(got, expected)) << got;

    // Once the process is gone there is nothing to read: both parts reported missing.
    read_process_params(query.get(), info.dwProcessId, params.get());
    EXPECT_FALSE(params->have_folder);
}

TEST(ProcessParams, OnlyTheSessionsDefaultDesktopIsTheRelaunchs) {
    for (const wchar_t* desktop : {L"", L"Default", L"default", L"WinSta0\\Default", L"winsta0\\DEFAULT"})
        EXPECT_TRUE(desktop_is_default(desktop)) << desktop;
    for (const wchar_t* desktop : {L"Hidden", L"WinSta0\\Hidden", L"Service-0x0-3e7$\\Default", L"WinSta0\\Default\\",
                                   L"WinSta0\\", L"\\Default", L" Default"})
        EXPECT_FALSE(desktop_is_default(desktop)) << desktop;
}

namespace {

// A suspended child of this test program, as a starter the watcher meets.
struct Child {
    PROCESS_INFORMATION info = {};
    OwnedHandle process, thread;

    bool start(const wchar_t* desktop, DWORD flags = 0) {
        wchar_t self[1024];
        if (GetModuleFileNameW(nullptr, self, 1024) == 0) return false;
        wchar_t command_line[] = L"service_tests.exe --gtest_list_tests";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        wchar_t desktop_name[64];
        if (desktop) {
            text_copy(desktop_name, desktop);
            startup.lpDesktop = desktop_name;
        }
        if (!CreateProcessW(self, command_line, nullptr, nullptr, FALSE, CREATE_SUSPENDED | flags, nullptr, nullptr,
                            &startup, &info))
            return false;
        process.reset(info.hProcess);
        thread.reset(info.hThread);
        return true;
    }
    // With what the watcher holds: a handle with limited query access.
    uint32_t limits() {
        OwnedHandle token, query(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, info.dwProcessId));
        if (!query || !OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return ~0u;
        return starter_limits(query.get(), info.dwProcessId, token.get());
    }
    ~Child() {
        if (process) TerminateProcess(process.get(), 0);
    }
};

}  // namespace

TEST(StarterLimits, ADesktopOrAJobTheRelaunchWouldLeaveRefusesIt) {
    Child plain, hidden;
    ASSERT_TRUE(plain.start(nullptr));
    EXPECT_EQ(plain.limits(), 0u);  // a plain start: nothing the relaunch would drop

    ASSERT_TRUE(hidden.start(L"WinSta0\\Hidden"));
    wchar_t desktop[process_desktop_cch] = L"untouched";
    ASSERT_TRUE(read_process_desktop(hidden.process.get(), hidden.info.dwProcessId, desktop, process_desktop_cch));
    EXPECT_STREQ(desktop, L"WinSta0\\Hidden");
    EXPECT_EQ(hidden.limits(), uint32_t(starter_desktop));

    // A job: kept when it lets no process leave, not when it lets them (silently or when asked).
    for (DWORD job_flags : {0ul, DWORD(JOB_OBJECT_LIMIT_BREAKAWAY_OK), DWORD(JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK)}) {
        OwnedHandle job(CreateJobObjectW(nullptr, nullptr));
        ASSERT_TRUE(job.valid());
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limit = {};
        limit.BasicLimitInformation.LimitFlags = job_flags;
        ASSERT_TRUE(SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limit, sizeof limit));
        Child member;
        ASSERT_TRUE(member.start(nullptr));
        ASSERT_TRUE(AssignProcessToJobObject(job.get(), member.process.get()));
        EXPECT_EQ(member.limits(), job_flags ? 0u : uint32_t(starter_job)) << job_flags;
        EXPECT_STREQ(relaunch_refusal(member.limits() | starter_desktop), job_flags ? L"started on another desktop"
                                                                                      : L"started in a job that keeps its processes");
    }

    // A process that is gone can be told nothing: it counts as held.
    Child gone;
    ASSERT_TRUE(gone.start(nullptr));
    TerminateProcess(gone.process.get(), 0);
    WaitForSingleObject(gone.process.get(), INFINITE);
    EXPECT_EQ(read_process_desktop(gone.process.get(), gone.info.dwProcessId, desktop, process_desktop_cch), false);
    EXPECT_STREQ(desktop, L"WinSta0\\Hidden");  // untouched
}
