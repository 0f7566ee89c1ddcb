#include "ui/push_poll.h"

#include <gtest/gtest.h>

#include <string>

#include "common/lang.h"

namespace {

class PushPollTest : public ::testing::Test {
protected:
    void SetUp() override { set_language(lang_code_en_us); }
    void TearDown() override { set_language(nullptr); }
    PushPoll poll = {};
};

TEST_F(PushPollTest, FinalStatusesInAnyCase) {
    EXPECT_EQ(push_poll_step(&poll, true, L"APPROVED"), PollStep::approved);
    EXPECT_EQ(push_poll_step(&poll, true, L"Rejected"), PollStep::rejected);
    EXPECT_EQ(push_poll_step(&poll, true, L"expired"), PollStep::expired);
    EXPECT_EQ(push_poll_step(&poll, true, L"pending"), PollStep::pending);
    EXPECT_EQ(push_poll_step(&poll, true, L"approved "), PollStep::pending);  // not the word itself
    EXPECT_EQ(push_poll_step(&poll, true, L""), PollStep::pending);
    EXPECT_FALSE(push_poll_is_final(PollStep::retrying));
    EXPECT_TRUE(push_poll_is_final(PollStep::timed_out));
}

TEST_F(PushPollTest, ThreeFailuresInARowEndButAnOpenStatusResetsTheCount) {
    EXPECT_EQ(push_poll_step(&poll, false, L""), PollStep::retrying);
    EXPECT_EQ(push_poll_step(&poll, false, L""), PollStep::retrying);
    EXPECT_EQ(push_poll_step(&poll, true, L"pending"), PollStep::pending);
    EXPECT_EQ(push_poll_step(&poll, false, L""), PollStep::retrying);
    EXPECT_EQ(push_poll_step(&poll, false, L""), PollStep::retrying);
    EXPECT_EQ(push_poll_step(&poll, false, L""), PollStep::failed);

    wchar_t text[push_text_cch];
    push_final_text(PollStep::failed, L"Network error: 12029", text, push_text_cch);
    EXPECT_STREQ(text, L"Polling failed: Network error: 12029");
}

TEST_F(PushPollTest, GivesUpAfter120PollsWithoutAFinalStatus) {
    for (int i = 1; i < push_poll_limit; ++i) ASSERT_EQ(push_poll_step(&poll, true, L"pending"), PollStep::pending) << i;
    EXPECT_EQ(push_poll_step(&poll, true, L"pending"), PollStep::timed_out);

    PushPoll failing = {push_poll_limit - 1, 0};  // a failed call counts as a poll too
    EXPECT_EQ(push_poll_step(&failing, false, L""), PollStep::timed_out);
    PushPoll last = {push_poll_limit - 1, 0};  // a final answer on the last poll still counts
    EXPECT_EQ(push_poll_step(&last, true, L"approved"), PollStep::approved);
}

TEST_F(PushPollTest, EndingTexts) {
    wchar_t text[push_text_cch] = L"x";
    push_final_text(PollStep::rejected, nullptr, text, push_text_cch);
    EXPECT_STREQ(text, L"Request rejected on phone");
    push_final_text(PollStep::expired, nullptr, text, push_text_cch);
    EXPECT_STREQ(text, L"Request expired");
    push_final_text(PollStep::timed_out, nullptr, text, push_text_cch);
    EXPECT_STREQ(text, L"Polling timeout (180s)");
    push_final_text(PollStep::approved, nullptr, text, push_text_cch);
    EXPECT_STREQ(text, L"");
    EXPECT_STREQ(push_failure_text(nullptr), L"Push authentication failed");
    EXPECT_STREQ(push_failure_text(L""), L"Push authentication failed");
    EXPECT_STREQ(push_failure_text(L"Request expired"), L"Request expired");
}

TEST_F(PushPollTest, PasscodeBoxesShowOnlyDigits) {
    wchar_t d[2];
    const wchar_t* shown[] = {L"4", L"", L"2", L"", L"", L""};
    for (int i = 0; i < 6; ++i) {
        passcode_digit(L"4x2", i, d);
        EXPECT_STREQ(d, shown[i]) << i;
    }
    passcode_digit(nullptr, 0, d);
    EXPECT_STREQ(d, L"");
}

// The window acts only on what its own workers left: a message with nothing waiting behind it
// (forged by another process, or a second copy) takes nothing and changes nothing.
TEST(PushResultsTest, OnlyWhatAWorkerLeftIsTakenAndOnlyOnce) {
    PushResults r = {};
    bool flag = true;
    wchar_t text[push_text_cch] = L"untouched";
    EXPECT_FALSE(push_results_take_ending(&r, &flag, text, push_text_cch));
    EXPECT_FALSE(push_results_take_request(&r, &flag, text, push_text_cch));
    EXPECT_FALSE(push_results_take_retrying(&r));
    EXPECT_TRUE(flag);
    EXPECT_STREQ(text, L"untouched");

    push_results_set_ending(&r, false, L"Request rejected on phone");
    EXPECT_TRUE(push_results_take_ending(&r, &flag, text, push_text_cch));
    EXPECT_FALSE(flag);
    EXPECT_STREQ(text, L"Request rejected on phone");
    EXPECT_FALSE(push_results_take_ending(&r, &flag, text, push_text_cch));  // a second message finds nothing

    push_results_set_ending(&r, true, L"ignored with an approval");
    EXPECT_TRUE(push_results_take_ending(&r, &flag, text, push_text_cch));
    EXPECT_TRUE(flag);
    EXPECT_STREQ(text, L"");
    flag = false;
    EXPECT_FALSE(push_results_take_ending(&r, &flag, text, push_text_cch));
    EXPECT_FALSE(flag);
}

TEST(PushResultsTest, RequestOutcomeRetryingAndLongTexts) {
    PushResults r = {};
    bool created = false;
    wchar_t text[push_text_cch];
    push_results_set_request(&r, true, L"no text with a created push");
    push_results_set_retrying(&r);
    EXPECT_TRUE(push_results_take_request(&r, &created, text, push_text_cch));
    EXPECT_TRUE(created);
    EXPECT_STREQ(text, L"");
    EXPECT_TRUE(push_results_take_retrying(&r));
    EXPECT_FALSE(push_results_take_retrying(&r));

    std::wstring long_text(2000, L'e');
    push_results_set_request(&r, false, long_text.c_str());
    wchar_t small[8];
    EXPECT_TRUE(push_results_take_request(&r, &created, small, 8));
    EXPECT_FALSE(created);
    EXPECT_STREQ(small, L"eeeeeee");
    push_results_set_request(&r, false, nullptr);
    EXPECT_TRUE(push_results_take_request(&r, &created, text, push_text_cch));
    EXPECT_STREQ(text, L"");
}

}  // namespace
