#include "common/log.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/settings.h"
#include "common/text.h"
#include "tests/support/test_files.h"

TEST(EventLog, LineTemplate) {
    wchar_t line[log_line_cch];
    log_format_line(line, log_line_cch, 2025, 2, 3, 9, 5, 7, L"service stopped");
    EXPECT_STREQ(line, L"[2025-02-03 09:05:07] service stopped\r\n");
}

TEST(EventLog, OneEventStaysOneLine) {
    wchar_t message[] = L"cmd: path=x\r\n[2025-01-01 00:00:00] forged\tline\x1b";
    log_sanitize(message);
    EXPECT_EQ(wcschr(message, L'\n'), nullptr);
    EXPECT_EQ(wcschr(message, L'\r'), nullptr);
    EXPECT_STREQ(message, L"cmd: path=x  [2025-01-01 00:00:00] forged line ");
}

TEST(EventLog, CreatesFolderChainWritesUtf8AndCutsLongMessages) {
    TempFolder tmp;
    Settings s = {};
    text_format(s.log_file, 1024, L"%s\\a\\b\\sentrel.log", tmp.path);

    log_event(&s, L"service started, rules=%lu", 2UL);
    log_event(&s, L"%s", L"中文 路径");
    std::wstring long_message(2000, L'x');
    log_event(&s, L"%s", long_message.c_str());

    std::string bytes = read_file_bytes(s.log_file);
    ASSERT_GE(bytes.size(), 3u);
    EXPECT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF");  // a new file starts with the BOM
    size_t first_end = bytes.find("\r\r\n");
    ASSERT_NE(first_end, std::string::npos);
    std::string first = bytes.substr(3, first_end - 3);
    ASSERT_EQ(first.size(), 22u + 24u);
    EXPECT_EQ(first[0], '[');
    EXPECT_EQ(first.substr(20, 2), "] ");
    EXPECT_EQ(first.substr(22), "service started, rules=2");
    EXPECT_NE(bytes.find("] \xE4\xB8\xAD\xE6\x96\x87 \xE8\xB7\xAF\xE5\xBE\x84\r\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("] " + std::string(1023, 'x') + "\r\r\n"), std::string::npos);
    EXPECT_EQ(bytes.find(std::string(1024, 'x')), std::string::npos);
}

TEST(EventLog, AHardLinkedLogFileIsNeverWrittenThrough) {
    TempFolder tmp;
    wchar_t log_file[MAX_PATH], other[MAX_PATH];
    text_format(log_file, MAX_PATH, L"%s\\sentrel.log", tmp.path);
    text_format(other, MAX_PATH, L"%s\\elsewhere.txt", tmp.path);
    HANDLE plain = open_log_file(log_file);
    ASSERT_NE(plain, INVALID_HANDLE_VALUE);  // a plain file of its own is the log
    CloseHandle(plain);
    ASSERT_TRUE(CreateHardLinkW(other, log_file, nullptr));
    EXPECT_EQ(open_log_file(log_file), INVALID_HANDLE_VALUE);  // a second name: someone else's file
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REPARSE_TAG_INVALID));
    Settings s = {};
    text_copy(s.log_file, log_file);
    log_event(&s, L"not written");
    EXPECT_EQ(read_file_bytes(other), "");
}

TEST(EventLog, EmptyPathOrNoSettingsLogsNothing) {
    TempFolder tmp;
    Settings s = {};
    log_event(&s, L"nothing");
    log_event(nullptr, L"nothing");
    // A settings record whose log_file was emptied: still nothing, and no folder either.
    text_format(s.log_file, 1024, L"%s\\logs\\sentrel.log", tmp.path);
    s.log_file[0] = L'\0';
    log_event(&s, L"nothing");
    EXPECT_EQ(GetFileAttributesW(tmp.file(L"logs").c_str()), INVALID_FILE_ATTRIBUTES);
}

// --- where the log may be written ---

namespace {

// Folders by path: absent ones do not exist; every call is recorded.
struct FakeFolders : LogFolderPort {
    std::map<std::wstring, LogFolderFacts> folders;
    bool creation_fails = false;
    std::vector<std::wstring> calls;

    LogFolderFacts look(const wchar_t* folder) override {
        calls.push_back(L"look " + std::wstring(folder));
        auto found = folders.find(folder);
        return found == folders.end() ? LogFolderFacts{} : found->second;
    }
    bool create(const wchar_t* folder) override {
        calls.push_back(L"create " + std::wstring(folder));
        if (creation_fails) return false;
        folders[folder] = {true, true, false, true};
        return true;
    }
};

const LogFolderFacts trusted = {true, true, false, true};

}  // namespace

TEST(LogFolder, MissingFoldersAreCreatedInOrderAndRaceWithAnotherWriter) {
    const wchar_t* log = L"C:\\ProgramData\\Sentrel\\logs\\sentrel.log";
    FakeFolders disk;
    disk.folders[L"C:\\ProgramData"] = trusted;
    wchar_t refused[log_path_cch] = {};
    EXPECT_EQ(prepare_log_folder(log, &disk, refused, log_path_cch), LogFolderVerdict::ready);
    EXPECT_EQ(disk.calls, (std::vector<std::wstring>{L"look C:\\ProgramData", L"look C:\\ProgramData\\Sentrel",
                                                     L"create C:\\ProgramData\\Sentrel",
                                                     L"look C:\\ProgramData\\Sentrel\\logs",
                                                     L"create C:\\ProgramData\\Sentrel\\logs"}));

    // Created by another writer between the look and the create: taken as found.
    FakeFolders raced;
    raced.creation_fails = true;
    EXPECT_EQ(prepare_log_folder(L"C:\\a.log", &raced, refused, log_path_cch), LogFolderVerdict::ready);
    EXPECT_TRUE(raced.calls.empty());  // a log in the volume root has no folder to check
    EXPECT_EQ(prepare_log_folder(L"C:\\x\\a.log", &raced, refused, log_path_cch), LogFolderVerdict::not_created);
    EXPECT_STREQ(refused, L"C:\\x");
}

TEST(LogFolder, ReparsePointForeignOwnerOrFileOnThePathIsRefusedWithNothingCreatedBelow) {
    const wchar_t* log = L"C:\\ProgramData\\Sentrel\\logs\\sentrel.log";
    const struct Case {
        const wchar_t* folder;
        LogFolderFacts facts;
        LogFolderVerdict verdict;
    } cases[] = {
        {L"C:\\ProgramData\\Sentrel", {true, true, true, true}, LogFolderVerdict::reparse_point},
        {L"C:\\ProgramData\\Sentrel\\logs", {true, true, true, true}, LogFolderVerdict::reparse_point},
        {L"C:\\ProgramData\\Sentrel", {true, true, false, false}, LogFolderVerdict::foreign_owner},
        {L"C:\\ProgramData\\Sentrel\\logs", {true, true, false, false}, LogFolderVerdict::foreign_owner},
        {L"C:\\ProgramData\\Sentrel", {true, false, false, true}, LogFolderVerdict::not_a_folder},
    };
    for (const Case& c : cases) {
        FakeFolders disk;
        disk.folders = {{L"C:\\ProgramData", trusted}, {L"C:\\ProgramData\\Sentrel", trusted},
                        {L"C:\\ProgramData\\Sentrel\\logs", trusted}};
        disk.folders[c.folder] = c.facts;
        wchar_t refused[log_path_cch] = {};
        EXPECT_EQ(prepare_log_folder(log, &disk, refused, log_path_cch), c.verdict) << c.folder;
        EXPECT_STREQ(refused, c.folder);
        for (const std::wstring& call : disk.calls) EXPECT_EQ(call.rfind(L"look ", 0), 0u) << call;
        EXPECT_NE(log_folder_refusal_reason(c.verdict)[0], L'\0');
    }
}

TEST(LogFolder, OnlyFullPathsWithRealNamesAndTheirRootsAreNotLookedAt) {
    for (const wchar_t* bad : {L"logs\\sentrel.log", L"C:sentrel.log", L"\\logs\\sentrel.log", L"C:\\a\\..\\b.log",
                               L"C:\\a\\.\\b.log", L"C:\\a\\\\b.log", L"C:\\logs\\", L"\\\\.\\pipe\\x", L"\\\\server",
                               L"\\\\server\\share", L"\\\\?\\relative\\x.log", L""}) {
        FakeFolders disk;
        wchar_t refused[log_path_cch] = {};
        EXPECT_EQ(prepare_log_folder(bad, &disk, refused, log_path_cch), LogFolderVerdict::bad_path) << bad;
        EXPECT_TRUE(disk.calls.empty()) << bad;
    }
    const struct Good {
        const wchar_t* log;
        const wchar_t* first;
    } goods[] = {
        {L"\\\\server\\share\\logs\\a.log", L"look \\\\server\\share\\logs"},
        {L"\\\\?\\C:\\logs\\a.log", L"look \\\\?\\C:\\logs"},
        {L"\\\\?\\UNC\\server\\share\\logs\\a.log", L"look \\\\?\\UNC\\server\\share\\logs"},
        {L"d:/logs/a.log", L"look d:/logs"},
    };
    for (const Good& good : goods) {
        FakeFolders disk;
        disk.folders[good.first + 5] = trusted;
        wchar_t refused[log_path_cch] = {};
        EXPECT_EQ(prepare_log_folder(good.log, &disk, refused, log_path_cch), LogFolderVerdict::ready) << good.log;
        EXPECT_EQ(disk.calls, std::vector<std::wstring>{good.first}) << good.log;
    }
}

// Under Wine a folder's DACL maps onto its Unix mode: Everyone's entry onto the "other" bits.
TEST(LogFolder, TheLogFolderItCreatesGivesEveryoneNothingAndComesBackWhenDeleted) {
    TempFolder tmp;
    Settings s = {};
    text_format(s.log_file, 1024, L"%s\\audit\\sentrel.log", tmp.path);
    log_event(&s, L"first");
    OwnedLocal sd;
    PACL dacl = nullptr;
    std::wstring folder = tmp.file(L"audit");
    ASSERT_EQ(GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                    nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR*>(sd.put())),
              static_cast<DWORD>(ERROR_SUCCESS));
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD cb = sizeof everyone;
    CreateWellKnownSid(WinWorldSid, nullptr, everyone, &cb);
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_FALSE(EqualSid(&ace->SidStart, everyone)) << "Everyone has an entry";
    }
    EXPECT_NE(read_file_bytes(s.log_file).find("] first\r\r\n"), std::string::npos);

    // Deleted after it was found fit: the next event creates it again.
    ASSERT_TRUE(DeleteFileW(s.log_file));
    ASSERT_TRUE(RemoveDirectoryW(folder.c_str()));
    log_event(&s, L"second");
    EXPECT_NE(read_file_bytes(s.log_file).find("] second\r\r\n"), std::string::npos);
}
