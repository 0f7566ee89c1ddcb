#include "common/http_body.h"

#include <gtest/gtest.h>

namespace {

HttpBodyRead body(size_t filled, bool ended, bool length_known = false, uint64_t length = 0) {
    return HttpBodyRead{filled, 8191, ended, length_known, length};
}

TEST(HttpBody, TimeLeftCountsDownToZeroAndNeverWraps) {
    EXPECT_EQ(8000u, http_time_left_ms(1000, 1000, 8000));
    EXPECT_EQ(1u, http_time_left_ms(1000, 8999, 8000));
    EXPECT_EQ(0u, http_time_left_ms(1000, 9000, 8000));
    EXPECT_EQ(0u, http_time_left_ms(1000, 1000000, 8000));
    EXPECT_EQ(0u, http_time_left_ms(5000, 4000, 8000));  // a clock behind the start: spent, not 2^32 - 1000
    EXPECT_EQ(0u, http_time_left_ms(0xFFFFFFFFull, 0x1FFFFFFFFull, 8000));  // past 2^32 ms of uptime
}

TEST(HttpBody, WholeOnlyWhenTheEndCameAtTheAnnouncedLengthOrTheCapWasReached) {
    // The end reported, with the announced length met, or no length announced.
    HttpBodyRead r = body(17, true, true, 17);
    EXPECT_TRUE(http_body_whole(&r));
    r = body(17, true);
    EXPECT_TRUE(http_body_whole(&r));
    r = body(0, true, true, 0);
    EXPECT_TRUE(http_body_whole(&r));
    // The cap reached: a 1 MB answer counts whole with its first 8,191 bytes; the rest stays unread.
    r = body(8191, false, true, 1u << 20);
    EXPECT_TRUE(http_body_whole(&r));
    // Closed before the announced length (a truncated answer), or stopped without an end (time ran
    // out, a read failed): not whole, whatever was read.
    r = body(10, true, true, 1000);
    EXPECT_FALSE(http_body_whole(&r));
    r = body(8190, false, true, 8190);
    EXPECT_FALSE(http_body_whole(&r));
    r = body(0, false);
    EXPECT_FALSE(http_body_whole(&r));
    EXPECT_FALSE(http_body_whole(nullptr));
}

}  // namespace
