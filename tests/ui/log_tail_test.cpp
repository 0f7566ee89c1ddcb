#include "ui/log_tail.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::wstring tail(const std::string& bytes, bool from_start = true, size_t cch = log_view_cch) {
    std::vector<wchar_t> out(cch);
    collect_log_tail(bytes.data(), bytes.size(), from_start, out.data(), cch);
    return out.data();
}

// The log as the writer leaves it: the runtime's text mode turns "\r\n" into "\r\r\n".
std::string log_of(int first, int last) {
    std::string text;
    for (int i = first; i <= last; ++i) text += "[2026-01-01 00:00:00] event " + std::to_string(i) + "\r\r\n";
    return text;
}

std::wstring view_of(int first, int last) {
    std::wstring text;
    for (int i = first; i <= last; ++i) text += L"[2026-01-01 00:00:00] event " + std::to_wstring(i) + L"\r\n";
    return text;
}

TEST(LogTail, ALongLogShowsItsLastFiftyLinesNewestLast) {
    EXPECT_EQ(tail("\xEF\xBB\xBF" + log_of(1, 120)), view_of(71, 120));
    EXPECT_EQ(tail(log_of(1, 3)), view_of(1, 3));
    EXPECT_EQ(tail(""), L"");
}

TEST(LogTail, ALineLongerThanAPieceCountsOncePerPieceAndJoinsBackIntoOneLine) {
    std::string text = log_of(1, 60) + std::string(600, 'x') + "\r\r\n";
    std::wstring view = tail(text);
    // 600 units are three pieces (255, 255, 90): with them, 47 more lines fit the 50.
    EXPECT_EQ(view, view_of(14, 60) + std::wstring(600, L'x') + L"\r\n");
}

TEST(LogTail, APieceCutAtTheFrontOfTheOldestLineKeepsOnlyItsLastPieces) {
    std::string text = std::string(600, 'y') + "\n" + log_of(1, 48);
    // 48 lines leave two pieces for the 600-unit line: its last 255 + 90 units.
    EXPECT_EQ(tail(text), std::wstring(345, L'y') + L"\r\n" + view_of(1, 48));
}

TEST(LogTail, LineEndsOfEveryKindBecomeCrLfAndTheLastLineMayHaveNone) {
    EXPECT_EQ(tail("a\nb\r\nc\r\r\nd"), L"a\r\nb\r\nc\r\nd");
    EXPECT_EQ(tail("\n\nx\n"), L"\r\n\r\nx\r\n");
}

TEST(LogTail, AWindowFromTheMiddleOfTheFileLeavesItsCutFirstLineOut) {
    EXPECT_EQ(tail("ent 7\r\r\n" + log_of(8, 9), false), view_of(8, 9));
    // A byte-order mark is only looked for at the file's start.
    EXPECT_EQ(tail("\xEF\xBB\xBFz\n", true), L"z\r\n");
    // One line longer than the window: shown from its first whole character on.
    EXPECT_EQ(tail(std::string("\x80\x80") + "\xE4\xB8\xAD" + "abc", false), L"\x4E2D" L"abc");
}

TEST(LogTail, TheViewStaysWithinItsCapacityByLeavingOutTheOldestPieces) {
    std::string text;
    for (int i = 0; i < 60; ++i) text += std::string(255, static_cast<char>('a' + i % 26)) + "\r\n";
    std::wstring view = tail(text);
    ASSERT_LE(view.size(), log_view_cch - 1);
    // 50 whole pieces with their line ends would need 12,850 units: the oldest goes.
    EXPECT_EQ(view.size(), 49u * 257u);
    EXPECT_EQ(view.substr(view.size() - 257), std::wstring(255, static_cast<wchar_t>('a' + 59 % 26)) + L"\r\n");
    EXPECT_EQ(view.substr(0, 255), std::wstring(255, static_cast<wchar_t>('a' + 11 % 26)));
    // A small buffer keeps the newest lines too.
    EXPECT_EQ(tail(log_of(1, 5), true, 80), view_of(4, 5));
}

TEST(LogTail, TextThatIsNotUtf8ShowsReplacementCharacters) {
    EXPECT_EQ(tail("caf\xE9 ok\n"), L"caf\xFFFD ok\r\n");
    EXPECT_EQ(tail("\xF0\x9F\x94\x92 locked\n"), L"\xD83D\xDD12 locked\r\n");  // two units
}

TEST(LogTail, Utf8DecodingRefusesOverlongSurrogateAndCutSequences) {
    auto decode = [](const std::string& s, size_t* taken) {
        uint32_t cp = 0;
        auto p = reinterpret_cast<const unsigned char*>(s.data());
        *taken = utf8_next(p, p + s.size(), &cp);
        return cp;
    };
    size_t taken = 0;
    EXPECT_EQ(decode("\xC0\xAF", &taken), 0xFFFDu);
    EXPECT_EQ(taken, 1u);
    EXPECT_EQ(decode("\xE0\x80\xAF", &taken), 0xFFFDu);  // overlong
    EXPECT_EQ(decode("\xED\xA0\x80", &taken), 0xFFFDu);  // a surrogate
    EXPECT_EQ(decode("\xE4\xB8", &taken), 0xFFFDu);      // cut
    EXPECT_EQ(decode("\xF4\x90\x80\x80", &taken), 0xFFFDu);
    EXPECT_EQ(decode("\xE4\xB8\xAD", &taken), 0x4E2Du);
    EXPECT_EQ(taken, 3u);
}

}  // namespace

TEST(LogTail, ZeroBytesShowAsReplacementsAndHideNoNewerLine) {
    // A log cut by a crash may hold zero bytes; the lines after them are still shown.
    std::string text = log_of(1, 2) + std::string(4, '\0') + "\r\r\n" + log_of(3, 3);
    EXPECT_EQ(tail(text), view_of(1, 2) + L"\xFFFD\xFFFD\xFFFD\xFFFD\r\n" + view_of(3, 3));
}

TEST(LogTail, APieceCutInsideASurrogatePairLeavesThePairOut) {
    // 300 characters outside the BMP are 600 units: pieces of 90 (+ line end), 255 and 255. With
    // room for the first two only, 255 units are left out at the front: half of a pair.
    std::string line;
    for (int i = 0; i < 300; ++i) line += "\xF0\x9F\x98\x80";
    std::wstring view = tail(line + "\n", true, 92 + 255 + 1);
    ASSERT_FALSE(view.empty());
    EXPECT_FALSE(view[0] >= 0xDC00 && view[0] <= 0xDFFF) << "a lone second half opens the view";
    EXPECT_EQ(view.size(), 346u);  // 172 whole pairs and the line end
    EXPECT_EQ(view.substr(view.size() - 4), L"\xD83D\xDE00\r\n");
}
