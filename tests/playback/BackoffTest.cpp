#include "ChannelPlayback.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

TEST(Backoff, DoublesFromOneSecondUpToThirty)
{
    std::chrono::seconds wait{0};
    std::vector<long> waits;
    for (int i = 0; i < 8; ++i)
        waits.push_back((wait = NextBackoff(wait)).count());
    EXPECT_EQ(waits, (std::vector<long>{1, 2, 4, 8, 16, 30, 30, 30}));
}

} // namespace
