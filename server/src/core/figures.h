// The figures the query API answers and the store keeps as rollups: per day, per value, per
// cohort and per device. Days are whole days in the reporting time zone (core/days.h).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

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

struct TopQuery {
    std::string appKey;
    Dimension dimension = Dimension::Event;
    int fromDay = 0;
    int toDay = 0;
    std::optional<std::string> channel;  // only the reports of this channel
    std::optional<std::string> action;   // Content only: the contents of this action name
    int limit = 10;
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
};

}  // namespace tallyscope::server
