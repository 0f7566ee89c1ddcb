// The default log folder is the product's: a refused folder on the default path is renamed aside
// and made again (on a fake disk: owners and links cannot be made under Wine); a custom path and
// C:\ProgramData itself are never moved. The log's state reaches the sink on every change.
#include "common/log_reclaim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "common/log_status.h"
#include "common/settings.h"
#include "common/text.h"
#include "tests/support/test_files.h"

namespace {

const LogFolderFacts trusted = {true, true, false, true};
const LogFolderFacts foreign = {true, true, false, false};
const LogFolderFacts link = {true, true, true, true};
const LogFolderFacts file = {true, false, false, true};

struct FakeDisk : LogReclaimPort {
    std::map<std::wstring, LogFolderFacts> folders;
    std::vector<std::wstring> calls;
    bool move_fails = false;
    int squats_left = 0;  // each move is followed by a user making the folder again

    LogFolderFacts look(const wchar_t* folder) override {
        auto found = folders.find(folder);
        return found == folders.end() ? LogFolderFacts{} : found->second;
    }
    bool create(const wchar_t* folder) override {
        calls.push_back(L"create " + std::wstring(folder));
        if (folders.count(folder)) return false;
        folders[folder] = trusted;
        return true;
    }
    bool move_aside(const wchar_t* folder, const wchar_t* new_path) override {
        calls.push_back(L"move " + std::wstring(folder) + L" -> " + new_path);
        if (move_fails || folders.count(new_path)) return false;
        // What lies below moves along.
        std::map<std::wstring, LogFolderFacts> moved;
        std::wstring from = folder;
        for (const auto& [path, facts] : folders) {
            if (path == from || path.rfind(from + L"\\", 0) == 0) moved[new_path + path.substr(from.size())] = facts;
            else moved[path] = facts;
        }
        folders = moved;
        if (squats_left > 0) {
            --squats_left;
            folders[folder] = foreign;
        }
        return true;
    }
};

FakeDisk program_data_with(const wchar_t* folder, LogFolderFacts facts) {
    FakeDisk disk;
    disk.folders[L"C:\\ProgramData"] = trusted;
    disk.folders[L"C:\\ProgramData\\Sentrel"] = trusted;
    disk.folders[folder] = facts;
    return disk;
}

}  // namespace

TEST(LogReclaim, ARefusedDefaultFolderIsRenamedAsideAndMadeAgain) {
    const struct Case {
        const wchar_t* folder;
        LogFolderFacts facts;
        LogFolderVerdict found;
        const wchar_t* aside;
    } cases[] = {
        {L"C:\\ProgramData\\Sentrel", foreign, LogFolderVerdict::foreign_owner,
         L"C:\\ProgramData\\Sentrel.refused-20261209-055400"},
        {L"C:\\ProgramData\\Sentrel", link, LogFolderVerdict::reparse_point,
         L"C:\\ProgramData\\Sentrel.refused-20261209-055400"},
        {L"C:\\ProgramData\\Sentrel", file, LogFolderVerdict::not_a_folder,
         L"C:\\ProgramData\\Sentrel.refused-20261209-055400"},
        {L"C:\\ProgramData\\Sentrel\\logs", foreign, LogFolderVerdict::foreign_owner,
         L"C:\\ProgramData\\Sentrel\\logs.refused-20261209-055400"},
    };
    for (const Case& c : cases) {
        FakeDisk disk = program_data_with(c.folder, c.facts);
        wchar_t refused[log_path_cch] = {};
        LogReclaim reclaim = {};
        EXPECT_EQ(prepare_log_folder_reclaiming(default_log_path, &disk, L"20261209-055400", refused, log_path_cch,
                                                &reclaim),
                  LogFolderVerdict::ready)
            << c.folder;
        EXPECT_TRUE(reclaim.moved);
        EXPECT_EQ(reclaim.found, c.found);
        EXPECT_STREQ(reclaim.folder, c.folder);
        EXPECT_STREQ(reclaim.moved_to, c.aside);
        EXPECT_EQ(disk.calls.front(), std::wstring(L"move ") + c.folder + L" -> " + c.aside);
        // Made again, by the log (trusted owner, protected DACL); the old one kept aside.
        EXPECT_EQ(disk.folders[c.folder].owner_trusted, true);
        EXPECT_EQ(disk.folders[L"C:\\ProgramData\\Sentrel\\logs"].exists, true);
        EXPECT_EQ(disk.folders.count(c.aside), 1u);
    }
    // The path is compared as the file system does, ignoring case.
    FakeDisk disk = program_data_with(L"C:\\ProgramData\\Sentrel", foreign);
    wchar_t refused[log_path_cch] = {};
    LogReclaim reclaim = {};
    EXPECT_EQ(prepare_log_folder_reclaiming(L"c:\\programdata\\SENTREL\\logs\\sentrel.log", &disk, L"1", refused,
                                            log_path_cch, &reclaim),
              LogFolderVerdict::ready);
}

TEST(LogReclaim, ACustomPathProgramDataOrAFailedMoveStaysRefused) {
    wchar_t refused[log_path_cch] = {};
    LogReclaim reclaim = {};
    // A custom log_file in a foreign folder: the administrator's choice, never moved.
    FakeDisk custom;
    custom.folders[L"D:\\audit"] = foreign;
    EXPECT_EQ(prepare_log_folder_reclaiming(L"D:\\audit\\sentrel.log", &custom, L"1", refused, log_path_cch, &reclaim),
              LogFolderVerdict::foreign_owner);
    EXPECT_FALSE(reclaim.moved);
    EXPECT_TRUE(custom.calls.empty());

    // C:\ProgramData itself is not the product's.
    FakeDisk program_data;
    program_data.folders[L"C:\\ProgramData"] = link;
    EXPECT_EQ(prepare_log_folder_reclaiming(default_log_path, &program_data, L"1", refused, log_path_cch, &reclaim),
              LogFolderVerdict::reparse_point);
    EXPECT_STREQ(refused, L"C:\\ProgramData");
    EXPECT_TRUE(program_data.calls.empty());

    // Held open by someone: the move fails and the log stays off (reported, see the sink).
    FakeDisk held = program_data_with(L"C:\\ProgramData\\Sentrel", foreign);
    held.move_fails = true;
    EXPECT_EQ(prepare_log_folder_reclaiming(default_log_path, &held, L"1", refused, log_path_cch, &reclaim),
              LogFolderVerdict::foreign_owner);
    EXPECT_FALSE(reclaim.moved);
    EXPECT_STREQ(refused, L"C:\\ProgramData\\Sentrel");

    // A bad path: nothing to move.
    FakeDisk bad;
    EXPECT_EQ(prepare_log_folder_reclaiming(L"logs\\sentrel.log", &bad, L"1", refused, log_path_cch, &reclaim),
              LogFolderVerdict::bad_path);
    EXPECT_FALSE(reclaim.moved);
}

TEST(LogReclaim, SomeoneMakingTheFolderAgainAfterEachMoveIsOutlastedOrRefused) {
    wchar_t refused[log_path_cch] = {};
    LogReclaim reclaim = {};
    FakeDisk twice = program_data_with(L"C:\\ProgramData\\Sentrel", foreign);
    twice.squats_left = 1;
    EXPECT_EQ(prepare_log_folder_reclaiming(default_log_path, &twice, L"T", refused, log_path_cch, &reclaim),
              LogFolderVerdict::ready);
    EXPECT_EQ(twice.folders.count(L"C:\\ProgramData\\Sentrel.refused-T"), 1u);
    EXPECT_EQ(twice.folders.count(L"C:\\ProgramData\\Sentrel.refused-T-1"), 1u) << "a second name for the second";
    EXPECT_STREQ(reclaim.moved_to, L"C:\\ProgramData\\Sentrel.refused-T") << "the first find is reported";

    FakeDisk forever = program_data_with(L"C:\\ProgramData\\Sentrel", foreign);
    forever.squats_left = 100;
    EXPECT_EQ(prepare_log_folder_reclaiming(default_log_path, &forever, L"T", refused, log_path_cch, &reclaim),
              LogFolderVerdict::foreign_owner);
    EXPECT_EQ(std::count_if(forever.calls.begin(), forever.calls.end(),
                            [](const std::wstring& call) { return call.rfind(L"move ", 0) == 0; }),
              3)
        << "bounded";
}

namespace {

std::vector<std::pair<AuditLogProblem, std::wstring>> g_heard;
void record(AuditLogProblem problem, const wchar_t* path) { g_heard.emplace_back(problem, path); }

}  // namespace

// The real writer: each change of state reaches the sink once; the first event always does.
TEST(AuditLogState, EveryChangeReachesTheSinkOnce) {
    TempFolder tmp;
    Settings s = {};
    g_heard.clear();
    set_audit_log_sink(record);
    text_format(s.log_file, 1024, L"%s\\logs\\sentrel.log", tmp.path);
    log_event(&s, L"one");
    log_event(&s, L"two");
    ASSERT_EQ(g_heard.size(), 1u);
    EXPECT_EQ(g_heard[0].first, AuditLogProblem::none);

    // A file where the folder belongs: refused, with what was refused.
    Settings blocked = s;
    text_format(blocked.log_file, 1024, L"%s\\blocked\\sentrel.log", tmp.path);
    std::wstring blocker = tmp.file(L"blocked");
    ASSERT_TRUE(write_file_bytes(blocker, "x"));
    log_event(&blocked, L"three");
    log_event(&blocked, L"four");
    ASSERT_EQ(g_heard.size(), 2u);
    EXPECT_EQ(g_heard[1].first, AuditLogProblem::not_a_folder);
    EXPECT_EQ(g_heard[1].second, blocker);

    Settings none = s;
    none.log_file[0] = L'\0';
    log_event(&none, L"five");
    log_event(&s, L"six");
    ASSERT_EQ(g_heard.size(), 4u);
    EXPECT_EQ(g_heard[2].first, AuditLogProblem::no_log_file);
    EXPECT_EQ(g_heard[3].first, AuditLogProblem::none);
    set_audit_log_sink(nullptr);
}
