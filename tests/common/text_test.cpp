#include "common/text.h"

#include <gtest/gtest.h>
#include <wchar.h>

TEST(BoundedText, CopyFitsAndTruncates) {
    wchar_t buf[6];
    EXPECT_EQ(text_copy(buf, 6, L"abcde"), text_ok);
    EXPECT_STREQ(buf, L"abcde");
    EXPECT_EQ(text_copy(buf, 6, L"abcdef"), text_truncated);
    EXPECT_STREQ(buf, L"abcde");
    EXPECT_EQ(text_copy(buf, 6, nullptr), text_ok);
    EXPECT_STREQ(buf, L"");
}

TEST(BoundedText, CopyNStopsAfterNCharacters) {
    wchar_t buf[10];
    EXPECT_EQ(text_copy_n(buf, 10, L"abcdef", 3), text_ok);
    EXPECT_STREQ(buf, L"abc");
    EXPECT_EQ(text_copy_n(buf, 3, L"abcdef", 5), text_truncated);
    EXPECT_STREQ(buf, L"ab");
}

TEST(BoundedText, InvalidCapacities) {
    wchar_t buf[4] = L"xyz";
    EXPECT_EQ(text_copy(buf, 0, L"a"), text_invalid);
    EXPECT_STREQ(buf, L"xyz");  // capacity 0: nothing touched
    EXPECT_EQ(text_copy(buf, size_t(1) << 31, L"a"), text_invalid);
    EXPECT_STREQ(buf, L"");  // too large: copy empties
    text_copy(buf, L"xyz");
    EXPECT_EQ(text_format(buf, size_t(1) << 31, L"%d", 1), text_invalid);
    EXPECT_STREQ(buf, L"");  // too large: format empties
    text_copy(buf, L"xyz");
    EXPECT_EQ(text_append(buf, size_t(1) << 31, L"a"), text_invalid);
    EXPECT_STREQ(buf, L"xyz");  // too large: append leaves it
    EXPECT_EQ(text_append(buf, 0, L"a"), text_invalid);
    EXPECT_STREQ(buf, L"xyz");
}

TEST(BoundedText, AppendNeedsTerminatorInsideCapacity) {
    wchar_t buf[8] = L"ab";
    EXPECT_EQ(text_append(buf, L"cd"), text_ok);
    EXPECT_STREQ(buf, L"abcd");
    EXPECT_EQ(text_append(buf, L"efghij"), text_truncated);
    EXPECT_STREQ(buf, L"abcdefg");
    wchar_t unterminated[3] = {L'a', L'b', L'c'};
    EXPECT_EQ(text_append(unterminated, 3, L"x"), text_invalid);
    EXPECT_EQ(unterminated[2], L'c');
}

TEST(BoundedText, FormatUsesWideConventionsAndTruncates) {
    wchar_t buf[64];
    EXPECT_EQ(text_format(buf, 64, L"%s|%lu|%u|%d|0x%X", L"中文", 4294967295UL, 7u, -3, 0xBEEFu), text_ok);
    EXPECT_STREQ(buf, L"中文|4294967295|7|-3|0xBEEF");
    wchar_t small[8];
    EXPECT_EQ(text_format(small, 8, L"Resend(%d)", 59), text_truncated);
    EXPECT_STREQ(small, L"Resend(");
    wchar_t exact[4];
    EXPECT_EQ(text_format(exact, 4, L"%s", L"abc"), text_ok);
    EXPECT_STREQ(exact, L"abc");
}

TEST(BoundedText, CaseRules) {
    EXPECT_TRUE(text_equal_ascii_nocase(L"C:\\Tools\\GIT.EXE", L"c:\\tools\\git.exe"));
    EXPECT_FALSE(text_equal_ascii_nocase(L"C:\\Tools\\git.exe", L"C:\\Tools\\git.ex"));
    // Paths and file names: case ignored across Unicode, as the file system does; nothing else.
    EXPECT_TRUE(text_equal_nocase(L"C:\\Tools\\GIT.EXE", L"c:\\tools\\git.exe"));
    EXPECT_TRUE(text_equal_nocase(L"D:\\Программы\\ÄPFEL.EXE", L"d:\\программы\\äpfel.exe"));
    EXPECT_TRUE(text_equal_nocase(L"ΣΊΣΥΦΟΣ.exe", L"σίσυφοσ.EXE"));
    EXPECT_FALSE(text_equal_ascii_nocase(L"ÄPFEL.EXE", L"äpfel.exe"));  // the old rule missed these
    EXPECT_FALSE(text_equal_nocase(L"C:\\Tools\\git.exe", L"C:\\Tools\\git.ex"));
    EXPECT_FALSE(text_equal_nocase(L"strasse.exe", L"straße.exe"));  // ordinal: no linguistic folding
    EXPECT_FALSE(text_equal_nocase(L"app.exe", nullptr));
    EXPECT_TRUE(text_contains_nocase(L"remote PUSH origin", L"push"));
    EXPECT_FALSE(text_contains_nocase(L"", L"push"));
    EXPECT_FALSE(text_contains_nocase(nullptr, L"push"));
}
