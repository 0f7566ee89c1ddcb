#include "common/canonical_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring canonical(const wchar_t* path, size_t cch = 64) {
    wchar_t out[64] = L"untouched";
    if (!canonical_path(path, out, cch)) return L"(false) " + std::wstring(out);
    return out;
}

}  // namespace

TEST(CanonicalPath, PrefixesGiveWayToThePlainSpelling) {
    EXPECT_EQ(canonical(L"\\\\?\\C:\\Windows\\System32\\cmd.exe"), L"C:\\Windows\\System32\\cmd.exe");
    EXPECT_EQ(canonical(L"\\??\\C:\\Windows\\cmd.exe"), L"C:\\Windows\\cmd.exe");
    EXPECT_EQ(canonical(L"\\\\?\\UNC\\srv\\share\\a.exe"), L"\\\\srv\\share\\a.exe");
    EXPECT_EQ(canonical(L"\\\\?\\unc\\srv\\share\\a.exe"), L"\\\\srv\\share\\a.exe");
    EXPECT_EQ(canonical(L"\\??\\UNC\\srv\\share\\a.exe"), L"\\\\srv\\share\\a.exe");
    // Plain paths, and names that only look like a prefix, stand as they are.
    EXPECT_EQ(canonical(L"C:\\Windows\\cmd.exe"), L"C:\\Windows\\cmd.exe");
    EXPECT_EQ(canonical(L"\\\\srv\\share\\a.exe"), L"\\\\srv\\share\\a.exe");
    EXPECT_EQ(canonical(L"\\\\.\\C:\\a.exe"), L"\\\\.\\C:\\a.exe");
    EXPECT_EQ(canonical(L"\\\\?\\C:\\UNC\\a.exe"), L"C:\\UNC\\a.exe");
    EXPECT_EQ(canonical(L"\\\\?\\UNCa\\x"), L"UNCa\\x");
}

TEST(CanonicalPath, EmptyOrTooLongLeavesTheBufferUntouched) {
    EXPECT_EQ(canonical(L""), L"(false) untouched");
    EXPECT_EQ(canonical(nullptr), L"(false) untouched");
    EXPECT_EQ(canonical(L"\\\\?\\"), L"(false) untouched");
    // "C:\abc" needs 7 units; "\\srv\s" from the UNC form needs 8.
    EXPECT_EQ(canonical(L"\\\\?\\C:\\abc", 7), L"C:\\abc");
    EXPECT_EQ(canonical(L"\\\\?\\C:\\abcd", 7), L"(false) untouched");
    EXPECT_EQ(canonical(L"\\\\?\\UNC\\srv\\s", 8), L"\\\\srv\\s");
    EXPECT_EQ(canonical(L"\\\\?\\UNC\\srv\\sh", 8), L"(false) untouched");
    // The longest Win32 path fits a buffer of 32,768 units.
    std::wstring longest = L"\\\\?\\C:\\" + std::wstring(32764, L'a');
    std::wstring out(32768, L'\0');
    ASSERT_TRUE(canonical_path(longest.c_str(), &out[0], out.size()));
    EXPECT_EQ(std::wstring(out.c_str()).size(), 32767u);
}

TEST(CanonicalPath, NetworkPathsAreTheServersNamesOnly) {
    EXPECT_TRUE(is_network_path(L"\\\\srv\\share\\a.exe"));
    EXPECT_TRUE(is_network_path(L"\\\\srv@SSL\\DavWWWRoot\\a.exe"));
    EXPECT_FALSE(is_network_path(L"C:\\a.exe"));
    EXPECT_FALSE(is_network_path(L"\\\\.\\C:\\a.exe"));
    EXPECT_FALSE(is_network_path(L"\\a.exe"));
    EXPECT_FALSE(is_network_path(nullptr));
}
