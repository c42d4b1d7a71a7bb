// The rollover decision on its own, for times that the test process cannot
// give the library through the real clock.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "logstamp.h"

namespace {

// More digits than fit: the largest stamp, far in the future. With the
// clock before the Epoch the period is still running, and taking the
// difference to that stamp must not overflow.
TEST(StampAction, StampsBeyondTheRangeOfTimeLieInTheFuture)
{
    const std::string huge(40, '9');
    for (long long now : {-2LL, -1000000000LL, LLONG_MIN, 0LL, 1765250000LL, LLONG_MAX - 1})
        EXPECT_EQ(zef_stamp_action(huge.c_str(), now), ZEF_STAMP_KEEP) << now;
    EXPECT_EQ(zef_stamp_action("1", LLONG_MIN), ZEF_STAMP_KEEP);
    EXPECT_EQ(zef_stamp_action("9223372036854775807", LLONG_MAX), ZEF_STAMP_KEEP);
    EXPECT_EQ(zef_stamp_action("1", LLONG_MAX), ZEF_STAMP_ROLL);
}

}  // namespace
