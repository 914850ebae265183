// Whole days in the server's reporting time zone. A report belongs to the day its arrival time
// falls on in that zone, so a device active at 23:30 and 00:30 local time is active on two days.
//
// The zone is an IANA name checked against the system's zoneinfo files and installed as the
// process's TZ once at start (before any thread starts); conversions then go through the C
// library, which follows every daylight-saving and historical offset change of the zone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tallyscope::server {

class ReportingDays {
public:
    // Throws std::invalid_argument with a one-line reason for a name that is not a zone here.
    // Call it before threads start: it sets the process's TZ.
    explicit ReportingDays(const std::string& zoneName = "UTC");

    const std::string& zone() const { return zone_; }

    // The day a moment (ms since the Unix epoch, UTC) falls on in the zone.
    int dayOf(std::int64_t utcMs) const;
    // The first moment of a day in the zone, ms since the Unix epoch.
    std::int64_t startOf(int day) const;
    // The day it is now.
    int today() const;

    // "YYYY-MM-DD" and back; parse refuses anything that is not a real date in that form.
    static std::string format(int day);
    static std::optional<int> parse(const std::string& text);
    // A UTC moment as "2026-12-08T21:33:49Z".
    static std::string formatUtc(std::int64_t utcMs);

private:
    std::string zone_;
};

// Days since 1970-01-01 of a civil date and back (proleptic Gregorian calendar).
int daysFromCivil(int year, unsigned month, unsigned day);
void civilFromDays(int days, int& year, unsigned& month, unsigned& day);

}  // namespace tallyscope::server
