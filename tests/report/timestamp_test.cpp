#include <gtest/gtest.h>

#include <ctime>

#include "report/timestamp.h"

// Every field against the same second formatted by the run-time library's own strftime, taken
// within one second so that both describe the same moment.
TEST(LocalTimestamp, EqualsTheLocalTimeOfTheSameSecondFormattedIndependently)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::time_t before = std::time(nullptr);
        std::string first = localTimestamp();
        std::string second = localTimestamp();  // served from the per-second cache
        if (std::time(nullptr) != before) continue;
        std::tm local{};
#ifdef _WIN32
        localtime_s(&local, &before);
#else
        localtime_r(&before, &local);
#endif
        char expected[32];
        ASSERT_EQ(std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &local), 19u);
        EXPECT_EQ(first, expected);
        EXPECT_EQ(second, expected);
        return;
    }
    FAIL() << "the clock moved on during every attempt";
}
