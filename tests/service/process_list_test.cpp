#include "service/process_list.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "service/process_list_win.h"
#include "tests/service/fake_process_list.h"
#include "tests/service/policy_builder.h"

namespace {

std::vector<FakeProcess> walk_all(const void* bytes, size_t cb, bool* malformed) {
    ProcessWalk walk;
    ProcessRecord record;
    std::vector<FakeProcess> out;
    process_walk_start(&walk, bytes, cb);
    while (process_walk_next(&walk, &record))
        out.push_back({record.pid, record.created, std::wstring(record.name ? record.name : L"", record.cch_name),
                       record.session});
    *malformed = walk.malformed;
    return out;
}

}  // namespace

// --- the walk ---

TEST(ProcessWalk, ReadsEveryEntryInOrderWithItsIdTimeSessionAndName) {
    FakeList list({{0, 0, L"", 0}, {4, 1000, L"System", 0}, {0x1234, 133000000000000000ull, L"notepad.exe", 1},
                   {0xFFFFFFF0u, 7, L"Über große Datei.exe", 2}});
    bool malformed = true;
    auto got = walk_all(list.bytes(), list.cb, &malformed);
    EXPECT_FALSE(malformed);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].name, L"");
    EXPECT_EQ(got[1].pid, 4u);
    EXPECT_EQ(got[2].pid, 0x1234u);
    EXPECT_EQ(got[2].created, 133000000000000000ull);
    EXPECT_EQ(got[2].name, L"notepad.exe");
    EXPECT_EQ(got[2].session, 1u);
    EXPECT_EQ(got[3].pid, 0xFFFFFFF0u);
    EXPECT_EQ(got[3].name, L"Über große Datei.exe");
}

TEST(ProcessWalk, StopsAtEntriesThatPointOutsideTheBuffer) {
    std::vector<FakeProcess> three = {{8, 1, L"a.exe", 1}, {12, 2, L"b.exe", 1}, {16, 3, L"c.exe", 1}};
    bool malformed = false;

    FakeList past_end(three);
    past_end.entry(1)->next_entry_offset = static_cast<uint32_t>(past_end.cb);
    EXPECT_EQ(walk_all(past_end.bytes(), past_end.cb, &malformed).size(), 1u);
    EXPECT_TRUE(malformed);

    FakeList too_short(three);
    too_short.entry(0)->next_entry_offset = 8;  // would read the next entry inside this one
    EXPECT_EQ(walk_all(too_short.bytes(), too_short.cb, &malformed).size(), 0u);
    EXPECT_TRUE(malformed);

    FakeList foreign_name(three);
    static const wchar_t elsewhere[] = L"evil.exe";
    foreign_name.entry(2)->image_name.buffer = reinterpret_cast<uintptr_t>(elsewhere);
    EXPECT_EQ(walk_all(foreign_name.bytes(), foreign_name.cb, &malformed).size(), 2u);
    EXPECT_TRUE(malformed);

    FakeList long_name(three);
    long_name.entry(2)->image_name.cb_length = 0xFFFE;  // runs past the end of the buffer
    EXPECT_EQ(walk_all(long_name.bytes(), long_name.cb, &malformed).size(), 2u);
    EXPECT_TRUE(malformed);

    FakeList cut(three);  // a buffer that ends inside the last entry
    EXPECT_EQ(walk_all(cut.bytes(), cut.entry_offsets[2] + 16, &malformed).size(), 2u);
    EXPECT_TRUE(malformed);

    EXPECT_EQ(walk_all(nullptr, 0, &malformed).size(), 0u);
    EXPECT_FALSE(malformed);
}

TEST(ProcessWalk, AnOddNameLengthDropsTheHalfCharacter) {
    FakeList list({{8, 1, L"ab.exe", 1}});
    list.entry(0)->image_name.cb_length = 5;
    bool malformed = true;
    auto got = walk_all(list.bytes(), list.cb, &malformed);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].name, L"ab");
}

TEST(ProcessRecordReady, NeedsANameAndARealCreationTime) {
    ProcessRecord record = {100, 1, 133000000000000000ull, L"app.exe", 7};
    EXPECT_TRUE(process_record_ready(&record));
    record.cch_name = 0;
    EXPECT_FALSE(process_record_ready(&record));
    record.cch_name = 7;
    record.created = 0;
    EXPECT_FALSE(process_record_ready(&record));
    record.created = 0x5555555555555555ull;  // what Wine lists for a process that is still starting
    EXPECT_FALSE(process_record_ready(&record));
}

// --- the name filter ---

namespace {

struct FilterPolicy : PolicyBuilder {
    bool passes(const wchar_t* name) const {
        ProgramNameFilter filter;
        program_filter_build(policy.get(), &filter);
        return program_filter_could_match(&filter, name, wcslen(name));
    }
};

}  // namespace

TEST(ProgramNameFilter, OpensOnlyNamesAnEnabledProgramRuleCouldMatch) {
    FilterPolicy p;
    p.add(rule_type_program, L"Notepad.exe");
    p.add(rule_type_program, L"", L"C:\\Tools\\Git\\git.exe");
    p.add(rule_type_program, L"", L"D:/portable/putty.exe");
    p.add(rule_type_program, L"Редактор.exe");
    p.add(rule_type_program, L"paused.exe").enabled = 0;
    p.add(rule_type_command, L"cmd.exe");
    p.add(rule_type_program, L"withargs.exe", L"", L"--secret");  // never matches a process
    EXPECT_TRUE(p.passes(L"notepad.exe"));
    EXPECT_TRUE(p.passes(L"NOTEPAD.EXE"));
    EXPECT_TRUE(p.passes(L"git.exe"));
    EXPECT_TRUE(p.passes(L"putty.exe"));
    EXPECT_TRUE(p.passes(L"РЕДАКТОР.EXE"));  // compared as the rules compare
    EXPECT_FALSE(p.passes(L"notepad.exe.bak"));
    EXPECT_FALSE(p.passes(L"explorer.exe"));
    EXPECT_FALSE(p.passes(L"paused.exe"));
    EXPECT_FALSE(p.passes(L"cmd.exe"));
    EXPECT_FALSE(p.passes(L"withargs.exe"));
    // Not what the list says it is, or not known yet: only the opened process can tell.
    EXPECT_TRUE(p.passes(L"NOTEPA~1.EXE"));
    EXPECT_TRUE(p.passes(L""));
    EXPECT_TRUE(p.passes(std::wstring(300, L'a').c_str()));
}

TEST(ProgramNameFilter, ARuleNamingNoProgramOpensEveryProcess) {
    FilterPolicy p;
    EXPECT_FALSE(p.passes(L"anything.exe"));  // no rules: nothing is opened
    EXPECT_FALSE(p.passes(L"ANYTHI~1.EXE"));
    p.add(rule_type_program, L"notepad.exe");
    p.add(rule_type_program, L"", L"");
    EXPECT_TRUE(p.passes(L"anything.exe"));
}

// --- the system call ---

TEST(ProcessListQuery, ListsThisProcessWithItsCreationTimeAndGrowsATooSmallBuffer) {
    ProcessListBuffer list = {};
    list.bytes = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, 64));
    list.cb = 64;
    ASSERT_TRUE(process_list_query(&list));
    EXPECT_GT(list.cb, 64u);
    EXPECT_LE(list.cb_used, list.cb);

    FILETIME created, exited, kernel, user;
    ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user));
    wchar_t path[MAX_PATH] = L"";
    ASSERT_NE(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
    const wchar_t* name = wcsrchr(path, L'\\') + 1;

    ProcessWalk walk;
    ProcessRecord record;
    process_walk_start(&walk, list.bytes, list.cb_used);
    bool found = false;
    size_t count = 0;
    while (process_walk_next(&walk, &record)) {
        ++count;
        if (record.pid != GetCurrentProcessId()) continue;
        found = true;
        EXPECT_EQ(record.created, (uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime);
        EXPECT_EQ(std::wstring(record.name, record.cch_name), name);
        EXPECT_TRUE(process_record_ready(&record));
    }
    EXPECT_FALSE(walk.malformed);
    EXPECT_TRUE(found) << count << " processes listed";
    uint8_t* kept = list.bytes;
    ASSERT_TRUE(process_list_query(&list));
    EXPECT_EQ(list.bytes, kept);  // large enough now: the same buffer serves the next pass
    process_list_free(&list);
}
