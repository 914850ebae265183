// The three report bodies and the choice between them by event name. The builders only build:
// they read what they are given and return the body, and the caller queues it.
#pragma once

#include "common/limits.h"
#include "report/device_identity.h"
#include "report/report_body.h"

struct MachineInventory;

// Who sends the reports: the host's key and channel and this start's device identifier.
struct ReportOrigin {
    char appKey[kAppKeyBytes] = {};
    char channelId[kChannelBytes] = {};
    DeviceIdentity deviceId;
};

enum class ReportKind { Action, DeviceInfo, AppEvent };

// Names are matched without regard to ASCII case: "app_device_info..." sends the inventory, any
// other "app_..." an application event, everything else an action.
ReportKind chooseReport(const char* eventName);

enum class ReportFailure {
    None,
    NotConfigured,  // no application key
    BadArgument,    // a null text or one longer than kMaxArgumentChars
    NoMemory,       // the body buffer could not be allocated
};

// A body (at most kBodyBytes - 1 characters), or why there is none.
struct BuiltReport {
    ReportBody body;
    ReportFailure failure = ReportFailure::None;
};

// An origin without a key sends nothing; checked first by every builder.
bool originConfigured(const ReportOrigin& origin);

BuiltReport buildDeviceInfoReport(const ReportOrigin& origin, const MachineInventory& inventory);
BuiltReport buildAppEventReport(const ReportOrigin& origin, const char* eventName, const char* timestamp);
BuiltReport buildActionReport(const ReportOrigin& origin, const char* eventName, const char* eventContent);
