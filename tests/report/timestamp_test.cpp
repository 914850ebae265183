#include <gtest/gtest.h>

#include <ctime>
#include <regex>

#include "report/timestamp.h"

TEST(LocalTimestamp, IsNineteenCharactersOfTheCurrentLocalTime)
{
    std::time_t before = std::time(nullptr);
    std::string first = localTimestamp();
    std::string second = localTimestamp();  // served from the per-second cache
    ASSERT_TRUE(std::regex_match(first, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})"))) << first;
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &before);
#else
    localtime_r(&before, &local);
#endif
    char year[8];
    std::snprintf(year, sizeof year, "%04d", local.tm_year + 1900);
    EXPECT_EQ(first.substr(0, 4), year);
    EXPECT_EQ(second.size(), 19u);
}
