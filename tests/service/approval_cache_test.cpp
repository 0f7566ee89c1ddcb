#include "service/approval_cache.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

const AccountSid user_a = {12, {1, 1, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0}};
const AccountSid user_b = {12, {1, 1, 0, 0, 0, 0, 0, 5, 22, 0, 0, 0}};

std::unique_ptr<ApprovalTable> empty_table() {
    std::unique_ptr<ApprovalTable> table(new ApprovalTable);
    approval_table_clear(table.get());
    return table;
}

}  // namespace

TEST(ApprovalCache, ExpiryIsStrict) {
    auto table = empty_table();
    approval_table_insert(table.get(), &user_a, L"C:\\Windows\\notepad.exe", 5, 1000);
    EXPECT_TRUE(approval_table_lookup(table.get(), &user_a, L"C:\\Windows\\notepad.exe", 1000));
    EXPECT_TRUE(approval_table_lookup(table.get(), &user_a, L"C:\\Windows\\notepad.exe", 5999));
    EXPECT_FALSE(approval_table_lookup(table.get(), &user_a, L"C:\\Windows\\notepad.exe", 6000));
    approval_table_insert(table.get(), &user_a, L"C:\\zero.exe", 0, 7000);
    EXPECT_FALSE(approval_table_lookup(table.get(), &user_a, L"C:\\zero.exe", 7000));
}

TEST(ApprovalCache, PathsDifferingInCaseShareOneEntryAndRenewInPlace) {
    auto table = empty_table();
    approval_table_insert(table.get(), &user_a, L"C:\\Tools\\App.exe", 1, 0);
    approval_table_insert(table.get(), &user_a, L"C:\\Other.exe", 1, 0);
    // The first entry has expired; inserting its path again (other case) renews it in place.
    approval_table_insert(table.get(), &user_a, L"c:\\tools\\APP.EXE", 10, 5000);
    EXPECT_STREQ(table->entries[0].path, L"c:\\tools\\APP.EXE");
    EXPECT_EQ(table->entries[0].expiry, 15000u);
    EXPECT_EQ(table->entries[2].path[0], L'\0');
    EXPECT_TRUE(approval_table_lookup(table.get(), &user_a, L"C:\\TOOLS\\app.exe", 14999));
    // Case folds across Unicode, as rules compare: one program, one entry.
    approval_table_insert(table.get(), &user_a, L"C:\\Программы\\Ä.exe", 10, 0);
    EXPECT_TRUE(approval_table_lookup(table.get(), &user_a, L"c:\\программы\\ä.EXE", 1));
    approval_table_insert(table.get(), &user_a, L"C:\\ПРОГРАММЫ\\ä.exe", 20, 0);
    EXPECT_EQ(table->entries[2].expiry, 20000u);
    EXPECT_EQ(table->entries[3].path[0], L'\0');
}

TEST(ApprovalCache, FullTableReplacesSmallestExpiryLowestIndexFirst) {
    auto table = empty_table();
    for (unsigned i = 0; i < approval_cache_entries; ++i) {
        std::wstring path = L"C:\\p" + std::to_wstring(i) + L".exe";
        // Entries 3 and 7 share the smallest expiry.
        uint32_t seconds = (i == 3 || i == 7) ? 1 : 100 + i;
        approval_table_insert(table.get(), &user_a, path.c_str(), seconds, 0);
    }
    approval_table_insert(table.get(), &user_a, L"C:\\new.exe", 50, 0);
    EXPECT_STREQ(table->entries[3].path, L"C:\\new.exe");
    EXPECT_STREQ(table->entries[7].path, L"C:\\p7.exe");
    approval_table_insert(table.get(), &user_a, L"C:\\newer.exe", 50, 0);
    EXPECT_STREQ(table->entries[7].path, L"C:\\newer.exe");
    EXPECT_FALSE(approval_table_lookup(table.get(), &user_a, L"C:\\p3.exe", 0));
}

TEST(ApprovalCache, LongPathsAreStoredCutAndMissWhole) {
    auto table = empty_table();
    std::wstring long_path = L"C:\\" + std::wstring(1100, L'a');
    approval_table_insert(table.get(), &user_a, long_path.c_str(), 60, 0);
    EXPECT_EQ(std::wstring(table->entries[0].path).size(), 1023u);
    EXPECT_FALSE(approval_table_lookup(table.get(), &user_a, long_path.c_str(), 1));
    EXPECT_TRUE(approval_table_lookup(table.get(), &user_a, long_path.substr(0, 1023).c_str(), 1));
}

TEST(ApprovalCache, AnApprovalIsItsOwnUsersOnly) {
    auto table = empty_table();
    approval_table_insert(table.get(), &user_a, L"C:\\Tools\\app.exe", 60, 0);
    EXPECT_TRUE(approval_table_lookup(table.get(), &user_a, L"c:\\tools\\APP.EXE", 1));
    EXPECT_FALSE(approval_table_lookup(table.get(), &user_b, L"C:\\Tools\\app.exe", 1));
    // An unknown user (no token) finds nothing and leaves nothing behind.
    const AccountSid nobody = {};
    EXPECT_FALSE(approval_table_lookup(table.get(), &nobody, L"C:\\Tools\\app.exe", 1));
    approval_table_insert(table.get(), &nobody, L"C:\\Tools\\other.exe", 60, 0);
    EXPECT_EQ(table->entries[1].path[0], L'\0');
    // B's own pass is B's entry beside A's: each renews and expires on its own.
    approval_table_insert(table.get(), &user_b, L"C:\\Tools\\app.exe", 5, 0);
    EXPECT_STREQ(table->entries[1].path, L"C:\\Tools\\app.exe");
    EXPECT_TRUE(approval_table_lookup(table.get(), &user_b, L"C:\\Tools\\app.exe", 4999));
    EXPECT_FALSE(approval_table_lookup(table.get(), &user_b, L"C:\\Tools\\app.exe", 5000));
    EXPECT_TRUE(approval_table_lookup(table.get(), &user_a, L"C:\\Tools\\app.exe", 5000));
}

TEST(ApprovalCache, ServiceCacheClearDropsEveryUsersApprovals) {
    approval_cache_insert(&user_a, L"C:\\a.exe", 300);
    approval_cache_insert(&user_b, L"C:\\a.exe", 300);
    approval_cache_insert(&user_b, L"C:\\b.exe", 300);
    EXPECT_TRUE(approval_cache_lookup(&user_a, L"C:\\A.EXE", 0));
    EXPECT_FALSE(approval_cache_lookup(&user_a, L"C:\\b.exe", 0));
    approval_cache_clear();
    EXPECT_FALSE(approval_cache_lookup(&user_a, L"C:\\a.exe", 0));
    EXPECT_FALSE(approval_cache_lookup(&user_b, L"C:\\a.exe", 0));
    EXPECT_FALSE(approval_cache_lookup(&user_b, L"C:\\b.exe", 0));
}
