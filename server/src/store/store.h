// The one storage interface of tallyscope-server. Each backend (SQLite, PostgreSQL) lives in a
// file of its own behind it; the HTTP layer and the import command only ever see this header.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

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
};

// A body that was none of the three forms, kept (bounded) for inspection.
struct Rejected {
    std::int64_t arrivedMs = 0;
    std::string reason;
    std::string body;
};

class Store {
public:
    virtual ~Store() = default;

    // Stores every report in one transaction, rollups included. When it returns the reports are
    // durable (they survive kill -9 and a power cut as far as the backend's sync allows); it
    // throws StoreError when they are not.
    virtual void append(const std::vector<Report>& reports) = 0;

    // Keeps a rejected body; the backend bounds how many are kept (oldest dropped first).
    virtual void reject(const Rejected& rejected) = 0;

    // Query, export, erasure and retention operations are added here for the dashboard.
};

struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace tallyscope::server
