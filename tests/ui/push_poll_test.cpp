#include "ui/push_poll.h"

#include <gtest/gtest.h>

TEST(PushPasscode, BoxesShowOnlyDigits) {
    wchar_t d[2];
    const wchar_t* shown[] = {L"4", L"", L"2", L"", L"", L""};
    for (int i = 0; i < 6; ++i) {
        passcode_digit(L"4x2", i, d);
        EXPECT_STREQ(d, shown[i]) << i;
    }
    passcode_digit(nullptr, 0, d);
    EXPECT_STREQ(d, L"");
}
