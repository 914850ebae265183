// Day arithmetic in the reporting time zone: moments around local midnight and daylight-saving
// changes land on the right day, days start where the zone says, dates parse strictly.
#include <gtest/gtest.h>

#include <stdexcept>

#include "core/days.h"

namespace tallyscope::server {
namespace {

struct Moment {
    const char* zone;
    std::int64_t utcSeconds;
    const char* localDate;
};

TEST(ReportingDays, MomentsFallOnTheZonesLocalDate) {
    const std::vector<Moment> cases = {
        {"UTC", 0, "1970-01-01"},
        {"UTC", 1796765629, "2026-12-08"},
        {"UTC", 1796774399, "2026-12-08"},          // 23:59:59
        {"UTC", 1796774400, "2026-12-09"},
        {"America/New_York", 1772600399, "2026-03-03"},  // 2026-03-04 04:59:59Z is 23:59:59 EST
        {"America/New_York", 1772600400, "2026-03-04"},
        {"America/New_York", 1773028799, "2026-03-08"},  // 03-09 03:59:59Z, 23:59:59 EDT after the change
        {"America/New_York", 1773028800, "2026-03-09"},
        {"Asia/Kolkata", 1796754600 - 1, "2026-12-08"},  // +05:30: 18:29:59Z is 23:59:59 local
        {"Asia/Kolkata", 1796754600, "2026-12-09"},
        {"Pacific/Kiritimati", 1796724000, "2026-12-09"},  // +14:00
        {"Pacific/Pago_Pago", 1796813999, "2026-12-08"},   // -11:00
    };
    for (const Moment& m : cases) {
        ReportingDays days(m.zone);
        EXPECT_EQ(ReportingDays::format(days.dayOf(m.utcSeconds * 1000)), m.localDate) << m.zone << " " << m.utcSeconds;
        EXPECT_EQ(ReportingDays::format(days.dayOf(m.utcSeconds * 1000 + 999)), m.localDate) << "same second";
    }
}

TEST(ReportingDays, DaysStartAtLocalMidnightAndLastAsLongAsTheZoneSays) {
    struct Case { const char* zone; const char* date; std::int64_t startUtcSeconds; std::int64_t hours; };
    const std::vector<Case> cases = {
        {"UTC", "2026-12-08", 1796688000, 24},
        {"America/New_York", "2026-03-04", 1772600400, 24},
        {"America/New_York", "2026-03-08", 1772946000, 23},  // the clock jumps from 02:00 to 03:00
        {"America/New_York", "2026-11-01", 1793505600, 25},  // and back from 02:00 to 01:00
        {"Asia/Kolkata", "2026-12-08", 1796668200, 24},
    };
    for (const Case& c : cases) {
        ReportingDays days(c.zone);
        const int day = *ReportingDays::parse(c.date);
        EXPECT_EQ(days.startOf(day), c.startUtcSeconds * 1000) << c.zone << " " << c.date;
        EXPECT_EQ(days.startOf(day + 1) - days.startOf(day), c.hours * 3600000) << c.zone << " " << c.date;
        EXPECT_EQ(days.dayOf(days.startOf(day)), day);
        EXPECT_EQ(days.dayOf(days.startOf(day) - 1), day - 1);
    }
}

TEST(ReportingDays, RefusesNamesThatAreNotZones) {
    for (const char* name : {"", "Mars/Olympus", "../etc/passwd", "/usr/share/zoneinfo/UTC", "zone.tab", "America",
                             "Europe/Berlin\n"})
        EXPECT_THROW(ReportingDays{name}, std::invalid_argument) << name;
    EXPECT_NO_THROW(ReportingDays{"Europe/Berlin"});
    EXPECT_EQ(ReportingDays{"Etc/GMT+5"}.zone(), "Etc/GMT+5");
}

TEST(ReportingDays, DatesParseStrictlyAndRoundTrip) {
    const std::vector<std::pair<std::string, std::optional<int>>> cases = {
        {"1970-01-01", 0},  {"2026-12-08", 20795}, {"2024-02-29", 19782}, {"2026-02-29", std::nullopt},
        {"2026-13-01", std::nullopt}, {"2026-1-01", std::nullopt}, {"2026-01-01x", std::nullopt},
        {"+026-01-01", std::nullopt}, {"", std::nullopt}};
    for (const auto& [text, day] : cases) {
        EXPECT_EQ(ReportingDays::parse(text), day) << text;
        if (day) EXPECT_EQ(ReportingDays::format(*day), text);
    }
    EXPECT_EQ(ReportingDays::formatUtc(1796765629000), "2026-12-08T21:33:49Z");
    EXPECT_EQ(ReportingDays::formatUtc(1796765629999), "2026-12-08T21:33:49Z");
    EXPECT_EQ(ReportingDays::formatUtc(0), "1970-01-01T00:00:00Z");
}

}  // namespace
}  // namespace tallyscope::server
