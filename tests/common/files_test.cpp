#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/handle.h"
#include "common/settings.h"
#include "common/text.h"
#include "common/policy.h"
#include "tests/support/guard_page.h"
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

TEST(DataFiles, ReadersStayInsideOutputsThatEndAtAGuardPage) {
    // Each output ends right before a page that may not be touched: one unit or byte too many faults.
    TempFolder tmp;
    std::wstring path = tmp.file(L"f.json");
    constexpr size_t cch = 64;
    GuardedBuffer text = guarded_alloc(cch * sizeof(wchar_t));
    ASSERT_NE(text.data, nullptr);
    auto* out = static_cast<wchar_t*>(text.data);
    // 63 units and the terminator fill it exactly, a pair as the last two units included.
    ASSERT_TRUE(write_file_bytes(path, "\xEF\xBB\xBF" + std::string(61, 'a') + "\xF0\x9F\x98\x80"));
    ASSERT_TRUE(read_utf8_file(path.c_str(), out, cch));
    EXPECT_EQ(wcslen(out), 63u);
    EXPECT_EQ(out[62], static_cast<wchar_t>(0xDE00));
    ASSERT_TRUE(write_file_bytes(path, std::string(64, 'a')));  // one unit too many: fails whole
    EXPECT_FALSE(read_utf8_file(path.c_str(), out, cch));
    ASSERT_TRUE(write_file_bytes(path, std::string(60, '\xC3') + "\xE2\x82"));  // malformed to the end
    ASSERT_TRUE(read_utf8_file(path.c_str(), out, cch));
    EXPECT_EQ(out[0], static_cast<wchar_t>(0xFFFD));
    guarded_free(&text);

    // Whole records: every value longer than its field, and more rules than the policy holds.
    std::string settings = "{";
    for (const char* key : {"server_url", "api_key", "mfa_username", "address", "country_code", "client_ip",
                            "admin_auth_mode", "log_file", "language", "allow_plain_http"})
        settings += std::string("\"") + key + "\": \"" + std::string(300, 'v') + "\\\"\",";
    ASSERT_TRUE(write_file_bytes(path, settings + "}"));
    GuardedBuffer s = guarded_alloc(sizeof(Settings));
    ASSERT_NE(s.data, nullptr);
    ASSERT_TRUE(load_settings(path.c_str(), static_cast<Settings*>(s.data)));
    EXPECT_EQ(wcslen(static_cast<Settings*>(s.data)->allow_plain_http), 7u);
    guarded_free(&s);

    std::string rules = "{\"rules\": [";
    for (int i = 0; i < 70; ++i)
        rules += "{\"type\": \"command\", \"display_name\": \"" + std::string(200, 'n') + "\", \"auth_mode\": \"" +
                 std::string(40, 'm') + "\", \"match_sha256\": \"" + std::string(90, 'f') + "\"},";
    ASSERT_TRUE(write_file_bytes(path, rules + "]}"));
    GuardedBuffer p = guarded_alloc(sizeof(Policy));
    ASSERT_NE(p.data, nullptr);
    auto* policy = static_cast<Policy*>(p.data);
    ASSERT_TRUE(load_policy(path.c_str(), policy));
    EXPECT_EQ(policy->count, policy_max_rules);
    EXPECT_EQ(wcslen(policy->rules[63].auth_mode), 31u);
    guarded_free(&p);
}

TEST(DataFiles, TextEndingInALoneLeadByteIsTerminatedInsideItsOutput) {
    // Wine's converter takes the terminating zero into the malformed sequence a lone lead byte
    // starts, and reports one unit less; the reader terminates the text itself.
    TempFolder tmp;
    std::wstring path = tmp.file(L"cut.json");
    for (const char* bytes : {"a\xE4", "{\"k\": \"\xF0", "\xEF\xBB\xBF\xC3", "ab\xE4\xB8"}) {
        ASSERT_TRUE(write_file_bytes(path, bytes));
        constexpr size_t cch = 16;
        GuardedBuffer text = guarded_alloc(cch * sizeof(wchar_t));
        ASSERT_NE(text.data, nullptr);
        auto* out = static_cast<wchar_t*>(text.data);
        for (size_t i = 0; i < cch; ++i) out[i] = L'#';
        ASSERT_TRUE(read_utf8_file(path.c_str(), out, cch)) << bytes;
        size_t length = 0;
        while (length < cch && out[length] != L'\0') ++length;
        ASSERT_LT(length, cch) << bytes << ": not terminated inside its output";
        EXPECT_EQ(out[length - 1], static_cast<wchar_t>(0xFFFD)) << bytes;
        guarded_free(&text);
    }
    // An empty text (a byte-order mark alone) is read as an empty text.
    ASSERT_TRUE(write_file_bytes(path, "\xEF\xBB\xBF"));
    wchar_t out[4] = L"xyz";
    ASSERT_TRUE(read_utf8_file(path.c_str(), out, 4));
    EXPECT_STREQ(out, L"");
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
