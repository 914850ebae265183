// The reports tallyscope-server receives, as every room of the server speaks of them: decoded
// from the three body forms (core/report_body.h), stored by store/, exported by api/.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tallyscope::server {

enum class ReportKind { AppEvent, Action, DeviceInfo };

// Keys of the device-information body after devicecode, appkey and channelid, in body order.
inline constexpr std::array<const char*, 9> kInventoryKeys = {
    "pcosname", "mac", "pcosversion", "pcname", "pcusername",
    "windowssid", "pccpuid", "harddiskid", "mainboardcode"};

// One accepted report, decoded to UTF-8. `body` keeps the bytes exactly as they arrived.
struct Report {
    std::int64_t arrivedMs = 0;  // server clock, milliseconds since the Unix epoch (UTC)
    ReportKind kind = ReportKind::AppEvent;
    std::string deviceId;
    std::string appKey;
    std::string channel;
    std::string name;     // app-event name (installtype) or action name; empty for device information
    std::string content;  // action content, or the app event's client time; empty for device information
    std::array<std::string, 9> inventory;  // device information only, in kInventoryKeys order
    std::string body;
    // The sender's identity for this report (32 lowercase hex digits, from the
    // "TallyScope-Report-Id" header); empty when the sender gave none. A report with an id is
    // stored once per (appKey, reportId), however often it is sent.
    std::string reportId;
};

// A body that was none of the three forms, kept (bounded) for inspection.
struct Rejected {
    std::int64_t arrivedMs = 0;
    std::string reason;
    std::string body;
};

}  // namespace tallyscope::server
