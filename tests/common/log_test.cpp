#include "common/log.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

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
