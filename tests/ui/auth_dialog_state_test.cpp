#include "ui/auth_dialog_state.h"

#include <gtest/gtest.h>

#include <string>

#include "common/lang.h"
#include "common/text.h"
#include "common/ui_broker.h"
#include "ui/ui_mode.h"

namespace {

class DialogStateTest : public ::testing::Test {
protected:
    void SetUp() override { set_language(lang_code_en_us); }
    void TearDown() override { set_language(nullptr); }
};

TEST(UiMode, PipeModeIsACaseSensitiveSubstring) {
    EXPECT_TRUE(is_pipe_mode(L"--pipe"));
    EXPECT_TRUE(is_pipe_mode(L"/x --pipe later"));
    EXPECT_FALSE(is_pipe_mode(L"--PIPE"));
    EXPECT_FALSE(is_pipe_mode(L""));
    EXPECT_FALSE(is_pipe_mode(nullptr));
}

TEST(DialogLayout, VariantsAndTheirRows) {
    EXPECT_EQ(dialog_variant(ui_mode_totp), DialogVariant::totp);
    EXPECT_EQ(dialog_variant(0), DialogVariant::totp);
    EXPECT_EQ(dialog_variant(5), DialogVariant::totp);
    EXPECT_EQ(dialog_variant(ui_mode_push), DialogVariant::push);
    EXPECT_EQ(dialog_variant(ui_mode_sms), DialogVariant::message);
    EXPECT_EQ(dialog_variant(ui_mode_email), DialogVariant::message);
    EXPECT_EQ(dialog_client_height(DialogVariant::totp), 309);
    EXPECT_EQ(dialog_client_height(DialogVariant::push), 333);
    EXPECT_EQ(dialog_client_height(DialogVariant::message), 311);
    // Six 44-pixel boxes 52 apart, centred in the content width 24..416.
    EXPECT_EQ(digit_box_x(0) - 24, 416 - (digit_box_x(5) + 44));
}

TEST(DigitBoxes, OnlyDigitsAreTakenAndEditingKeysPassThrough) {
    EXPECT_EQ(classify_digit_char(L'0'), DigitChar::digit);
    EXPECT_EQ(classify_digit_char(L'9'), DigitChar::digit);
    for (wchar_t c : {L'\b', L'\t', L'\r'}) EXPECT_EQ(classify_digit_char(c), DigitChar::edit_default);
    for (wchar_t c : {L'a', L' ', L'-', L'\x0661', L'\n'}) EXPECT_EQ(classify_digit_char(c), DigitChar::discard);
}

TEST(DigitBoxes, FocusMovesAlongTheRowAndTheLastBoxSubmits) {
    for (int p = 0; p < 5; ++p) {
        DigitStep step = after_digit(p, true, true);
        EXPECT_EQ(step.focus, p + 1);
        EXPECT_FALSE(step.submit);
    }
    EXPECT_TRUE(after_digit(5, true, true).submit);
    EXPECT_EQ(after_digit(5, true, true).focus, -1);
    EXPECT_FALSE(after_digit(5, false, true).submit);  // a box further left is empty
    EXPECT_FALSE(after_digit(5, true, false).submit);  // Verify disabled or missing

    EXPECT_EQ(after_backspace(2), 1);
    EXPECT_EQ(after_backspace(0), 0);
    EXPECT_EQ(arrow_target(0, -1), -1);
    EXPECT_EQ(arrow_target(3, -1), 2);
    EXPECT_EQ(arrow_target(4, 1), 5);
    EXPECT_EQ(arrow_target(5, 1), -1);
}

TEST(DigitBoxes, ReadingStopsAtTheFirstBoxWithoutADigit) {
    wchar_t out[7];
    const wchar_t* full[6] = {L"1", L"2", L"3", L"4", L"5", L"67"};
    EXPECT_EQ(collect_digits(full, out), 6);
    EXPECT_STREQ(out, L"123456");
    const wchar_t* gap[6] = {L"1", L"2", L"", L"4", L"5", L"6"};
    EXPECT_EQ(collect_digits(gap, out), 2);
    EXPECT_STREQ(out, L"12");
    const wchar_t* letter[6] = {L"a", L"2", L"3", L"4", L"5", L"6"};
    EXPECT_EQ(collect_digits(letter, out), 0);
    const wchar_t* missing[6] = {L"1", L"2", L"3", L"4", L"5", nullptr};
    EXPECT_EQ(collect_digits(missing, out), 5);
}

TEST_F(DialogStateTest, VerifyDecision) {
    EXPECT_EQ(verify_step(ui_mode_totp, 5, false), VerifyStep::need_all_digits);
    EXPECT_EQ(verify_step(ui_mode_totp, 6, false), VerifyStep::send_code);
    EXPECT_EQ(verify_step(ui_mode_sms, 6, false), VerifyStep::refuse);  // no challenge of the broker
    EXPECT_EQ(verify_step(ui_mode_email, 6, true), VerifyStep::send_code);
    EXPECT_EQ(verify_step(ui_mode_sms, 3, true), VerifyStep::need_all_digits);
    // Other modes have no typed code to send.
    EXPECT_EQ(verify_step(0, 6, false), VerifyStep::refuse);
    EXPECT_EQ(verify_step(5, 6, true), VerifyStep::refuse);
    EXPECT_EQ(verify_step(ui_mode_push, 6, true), VerifyStep::refuse);

    EXPECT_STREQ(verify_failure_text(L"验证码错误或用户不存在"), L"验证码错误或用户不存在");
    EXPECT_STREQ(verify_failure_text(L""), L"Verification Failed");
    EXPECT_STREQ(verify_failure_text(nullptr), L"Verification Failed");
}

TEST_F(DialogStateTest, RepliesOfEachEnding) {
    UiAuthReply reply = {};
    reply.approved = 1;
    reply_window_closed(&reply);  // the dialog's own bit never stands
    EXPECT_EQ(reply.approved, 0u);
    EXPECT_STREQ(reply.message, L"Window closed");

    UiAuthReply closed = {};
    text_copy(closed.message, L"Push authentication failed");
    reply_window_closed(&closed);
    EXPECT_EQ(closed.approved, 0u);
    EXPECT_STREQ(closed.message, L"Window closed");

    UiAuthReply cancelled = {};
    reply_cancelled(&cancelled);
    EXPECT_EQ(cancelled.approved, 0u);
    EXPECT_STREQ(cancelled.message, L"User cancelled");
    set_language(lang_code_zh_cn);
    reply_cancelled(&cancelled);
    EXPECT_STREQ(cancelled.message, L"用户取消");
}

TEST_F(DialogStateTest, HeaderNamesTheRuleAndTheTarget) {
    wchar_t out[1056];
    subtitle_text(L"Deploy tool", out, 256);
    EXPECT_STREQ(out, L"Deploy tool \x2014 Please provide credentials to continue");
    subtitle_text(L"", out, 256);
    EXPECT_STREQ(out, L"Please provide credentials to continue");

    target_line_text(L"C:\\a\\b.exe", 100, out, 1056);
    EXPECT_STREQ(out, L"Target Program: C:\\a\\b.exe");
    target_line_text(L"C:\\folder\\sub\\tool.exe", 12, out, 1056);
    EXPECT_STREQ(out, L"Target Program: C:\\fo\x2026ol.exe");

    target_tip_text(L"C:\\t.exe", L"deploy \"now\"", out, 1056);
    EXPECT_STREQ(out, L"C:\\t.exe\r\ndeploy \"now\"");
    target_tip_text(L"C:\\t.exe", L"", out, 1056);
    EXPECT_STREQ(out, L"C:\\t.exe");
}

// A request's texts cannot make one path read as another: every bidirectional control goes, the
// neighbouring characters stay, and the cut is made on what is shown.
TEST_F(DialogStateTest, BidirectionalControlsNeverReachTheDialog) {
    const wchar_t controls[] = {0x200E, 0x200F, 0x202A, 0x202B, 0x202C, 0x202D, 0x202E, 0x2066, 0x2067, 0x2068, 0x2069};
    for (wchar_t c : controls) {
        wchar_t target[] = L"C:\\t\\gp?j.exe";
        target[7] = c;
        wchar_t out[1056];
        target_line_text(target, 100, out, 1056);
        EXPECT_STREQ(out, L"Target Program: C:\\t\\gpj.exe") << static_cast<unsigned>(c);
    }
    for (wchar_t c : {static_cast<wchar_t>(0x200D), static_cast<wchar_t>(0x2065), static_cast<wchar_t>(0x202F),
                      static_cast<wchar_t>(0x206A)}) {  // neighbours of the ranges are no controls
        wchar_t target[16] = {L'a', c, L'b', 0}, out[64];
        target_tip_text(target, L"", out, 64);
        EXPECT_EQ(std::wstring(out), std::wstring(target)) << static_cast<unsigned>(c);
    }
    wchar_t out[1056];
    target_line_text(L"\u202E\u202E\u202E\u202EC:\\folder\\sub\\tool.exe", 12, out, 1056);
    EXPECT_STREQ(out, L"Target Program: C:\\fo\u2026ol.exe");
    target_tip_text(L"C:\\\u202Eexe.txt", L"--x \u2066y\u2069", out, 1056);
    EXPECT_STREQ(out, L"C:\\exe.txt\r\n--x y");
    subtitle_text(L"\u202BDeploy\u200F", out, 256);
    EXPECT_STREQ(out, L"Deploy \u2014 Please provide credentials to continue");
    code_prompt_text(ui_mode_sms, L"+86\u202E4321", out, 160);
    EXPECT_EQ(std::wstring(out).find(L'\u202E'), std::wstring::npos) << out;
    EXPECT_NE(std::wstring(out).find(L"+864321"), std::wstring::npos) << out;
    code_sent_text(L"a\u2067@b", out, 256);
    EXPECT_NE(std::wstring(out).find(L"a@b"), std::wstring::npos) << out;
}

TEST_F(DialogStateTest, MessageCodePromptNamesTheDestination) {
    wchar_t out[160];
    code_prompt_text(ui_mode_sms, L"", out, 160);
    EXPECT_STREQ(out, L"Verification (Sent to Phone)");
    code_prompt_text(ui_mode_email, nullptr, out, 160);
    EXPECT_STREQ(out, L"Verification (Sent to Email)");
    code_prompt_text(ui_mode_email, L"a***@example.com", out, 160);
    EXPECT_STREQ(out, L"Verification (Sent to a***@example.com)");

    code_sent_text(L"+86138****1234", out, 160);
    EXPECT_STREQ(out, L"Code sent to +86138****1234");
    code_sent_text(L"", out, 160);
    EXPECT_STREQ(out, L"");
}

TEST(Ellipsis, MiddleCutKeepsBothEndsWithinTheLimit) {
    wchar_t out[64];
    ellipsize_middle(L"abcdefghij", 10, out, 64);
    EXPECT_STREQ(out, L"abcdefghij");
    ellipsize_middle(L"abcdefghij", 9, out, 64);
    EXPECT_STREQ(out, L"abcd\x2026ghij");
    ellipsize_middle(L"abcdefghij", 2, out, 64);
    EXPECT_STREQ(out, L"\x2026j");
    ellipsize_middle(L"abcdefghij", 0, out, 64);
    EXPECT_STREQ(out, L"");
    ellipsize_middle(L"abcdefghij", 7, out, 4);  // the buffer still bounds the result
    EXPECT_EQ(wcslen(out), 3u);
}

}  // namespace
