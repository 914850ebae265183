// The figures the query API answers and the store keeps as rollups: per day, per value, per
// cohort and per device. Days are whole days in the reporting time zone (core/days.h).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tallyscope::server {

// One application key as the apps list shows it; days in the reporting time zone.
struct AppSummary {
    std::string appKey;
    std::int64_t devices = 0;
    std::int64_t reports = 0;
    int firstDay = 0;
    int lastDay = 0;
};

// The figures of one day for one key (and optionally one channel).
struct DayFigures {
    int day = 0;
    std::int64_t activeDevices = 0;
    std::int64_t newDevices = 0;
    std::int64_t appEvents = 0;
    std::int64_t actions = 0;
    std::int64_t deviceReports = 0;
};

// What `top` ranks: app-event names, action names, action contents, channels, and the OS name
// and version of device-information reports.
enum class Dimension { Event, Action, Content, Channel, Os, OsVersion };

// Which reports a figure counts, all given ones at once (AND). A report's OS name and version are
// those of its device's latest device-information report (same key) received at or before it;
// "" matches the reports of devices that had sent none yet.
struct Filters {
    std::optional<std::string> channel;
    std::optional<std::string> os;
    std::optional<std::string> osversion;
    bool byOs() const { return os.has_value() || osversion.has_value(); }
};

struct TopQuery {
    std::string appKey;
    Dimension dimension = Dimension::Event;
    int fromDay = 0;
    int toDay = 0;
    std::optional<std::string> channel;  // only the reports of this channel
    std::optional<std::string> action;   // Content only: the contents of this action name
    int limit = 10;
    std::optional<std::string> os;         // with `channel`, the filters the ranking counts under
    std::optional<std::string> osversion;
};

// Reports and active devices per day of the values of one dimension (Event, Action, Channel, Os,
// OsVersion; the last three by the OS each report is counted under, so every report counts).
struct BreakdownQuery {
    std::string appKey;
    Dimension dimension = Dimension::Channel;
    int fromDay = 0;
    int toDay = 0;
    Filters filters;
    int limit = 5;
};

struct BreakdownDay {
    std::int64_t reports = 0;
    std::int64_t devices = 0;
};

struct BreakdownSeries {
    std::string value;
    std::vector<BreakdownDay> days;  // fromDay..toDay
    std::int64_t reports = 0;        // over the whole range
    std::int64_t devices = 0;        // distinct devices over the whole range
};

struct Breakdown {
    std::vector<BreakdownSeries> series;  // most reports first, at most `limit`
    std::vector<BreakdownDay> other;      // the other values, summed per day
};

// One device found by a look-up, with the names its latest device information gave.
struct DeviceMatch {
    std::string deviceId;
    std::string pcName, pcUserName, pcOsName;  // empty when it sent no device information
    std::int64_t lastSeenMs = 0;
};

struct TopRow {
    std::string value;
    std::int64_t reports = 0;
    std::int64_t devices = 0;  // distinct devices among those reports
};

// Devices new on `day` and the share of them active on day+1, +7, +30; empty where that day has
// not come yet (it is not before today) or the cohort is empty.
struct Cohort {
    int day = 0;
    std::int64_t newDevices = 0;
    std::optional<double> d1, d7, d30;
};

struct DeviceSummary {
    std::string deviceId;
    std::int64_t firstSeenMs = 0;  // UTC, milliseconds since the Unix epoch
    std::int64_t lastSeenMs = 0;
    std::int64_t appEvents = 0;
    std::int64_t actions = 0;
    std::int64_t deviceReports = 0;
    // The latest device-information values, in kInventoryKeys order; empty when none arrived.
    std::optional<std::array<std::string, 9>> inventory;
    std::int64_t daysActive = 0;  // days with at least one report
};

}  // namespace tallyscope::server
