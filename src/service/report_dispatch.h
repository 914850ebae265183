#pragma once

enum class ReportKind { Action, DeviceInfo, AppEvent };

// Names are matched without regard to ASCII case: "app_device_info..." sends the inventory, any
// other "app_..." an application event, everything else an action.
ReportKind chooseReport(const char* eventName);

// Names of this many characters or fewer are ignored outright.
constexpr unsigned kMinEventNameChars = 4;
