#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/handle.h"
#include "common/settings.h"
#include "common/text.h"
#include "tests/support/test_files.h"

namespace {

size_t files_in(const wchar_t* folder) {
    wchar_t pattern[MAX_PATH];
    text_format(pattern, MAX_PATH, L"%s\\*", folder);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    size_t count = 0;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++count;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return count;
}

}  // namespace

TEST(DataFiles, WriteCreatesFoldersWritesUtf8WithoutBomAndReplacesWhole) {
    TempFolder tmp;
    std::wstring path = tmp.file(L"a\\b\\SentrelSvc.json");
    ASSERT_TRUE(write_utf8_file(path.c_str(), L"{\"k\": \"中文 and a longer first text\"}\n"));
    ASSERT_TRUE(write_utf8_file(path.c_str(), L"é\n"));
    EXPECT_EQ(read_file_bytes(path), "\xC3\xA9\n");  // no BOM, nothing left of the longer text
    EXPECT_EQ(files_in(tmp.file(L"a\\b").c_str()), 1u);  // no temporary file left behind
}

TEST(DataFiles, FailedReplaceKeepsThePreviousFile) {
    TempFolder tmp;
    std::wstring path = tmp.file(L"SentrelSvc.policy.json");
    ASSERT_TRUE(write_file_bytes(path, "previous"));
    {
        // Another process holds the file without sharing: the new text cannot take its place.
        OwnedHandle held(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.valid());
        EXPECT_FALSE(write_utf8_file(path.c_str(), L"new text"));
        Settings s = {};
        EXPECT_FALSE(save_settings(path.c_str(), &s));
    }
    EXPECT_EQ(read_file_bytes(path), "previous");
    EXPECT_EQ(files_in(tmp.path), 1u);
}

TEST(DataFiles, ReadSkipsBomCutsAtTheLimitAndFailsWholeWhenTooLarge) {
    TempFolder tmp;
    std::wstring path = tmp.file(L"f.json");
    ASSERT_TRUE(write_file_bytes(path, "\xEF\xBB\xBF" "ab\xFF" "c"));
    wchar_t out[16] = L"<untouched>";
    ASSERT_TRUE(read_utf8_file(path.c_str(), out, 16));
    EXPECT_STREQ(out, L"ab\xFFFD" L"c");  // malformed bytes are replaced, not rejected

    ASSERT_TRUE(write_file_bytes(path, "abcdef"));
    wchar_t small[6] = L"<unt>";
    EXPECT_FALSE(read_utf8_file(path.c_str(), small, 6));
    EXPECT_STREQ(small, L"<unt>");

    ASSERT_TRUE(write_file_bytes(path, std::string(70000, 'x')));
    static wchar_t big[70001];
    ASSERT_TRUE(read_utf8_file(path.c_str(), big, 70001));
    EXPECT_EQ(wcslen(big), file_read_max_cb);
    EXPECT_FALSE(read_utf8_file(tmp.file(L"missing.json").c_str(), big, 70001));
}

TEST(DataFiles, PathBesideExeJoinsTheExecutablesFolder) {
    wchar_t exe[1024];
    ASSERT_GT(GetModuleFileNameW(nullptr, exe, 1024), 0u);
    std::wstring expected(exe);
    expected = expected.substr(0, expected.rfind(L'\\')) + L"\\SentrelSvc.json";
    wchar_t out[1024];
    ASSERT_TRUE(path_beside_exe(L"SentrelSvc.json", out, 1024));
    EXPECT_EQ(out, expected);

    wchar_t small[8] = L"<unt>";
    EXPECT_FALSE(path_beside_exe(L"SentrelSvc.json", small, 8));
    EXPECT_STREQ(small, L"<unt>");
    std::wstring long_name(1100, L'n');
    EXPECT_FALSE(path_beside_exe(long_name.c_str(), out, 1024));
}
