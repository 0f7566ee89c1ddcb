#include "ui/push_poll.h"

#include <gtest/gtest.h>

#include "common/ui_broker.h"
#include "tests/support/guard_page.h"

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

TEST(PushPasscode, AFullPasscodeFieldIsReadOnlyInsideTheRequest) {
    // The passcode is the request's last field: a passcode that fills it, with nothing readable
    // after the record, must not be read past its 32 units.
    GuardedBuffer buffer = guarded_alloc(sizeof(UiAuthRequest));
    ASSERT_NE(buffer.data, nullptr);
    auto* request = static_cast<UiAuthRequest*>(buffer.data);
    for (wchar_t& c : request->passcode) c = L'7';
    wchar_t d[2];
    for (int i = 0; i < 6; ++i) {
        passcode_digit(request->passcode, i, d);
        EXPECT_STREQ(d, L"7") << i;
    }
    guarded_free(&buffer);
}
