// This start's device identifier in the two forms the reports carry, and its write-once registry
// record. The identifier itself is derived by deriveDeviceId (inventory/fingerprint.h).
#pragma once

#include "common/limits.h"

struct DeviceIdentity {
    wchar_t wide[kDeviceIdWideUnits] = {};  // the device-information report's devicecode
    char ansi[kDeviceIdAnsiBytes] = {};     // the Param reports' deviceid
};

// Derives the identifier on the calling thread, fills both forms of identity and records it under
// HKLM\SOFTWARE\TallyScope\DeviceId when no readable value is there yet.
void initDeviceId(DeviceIdentity& identity);

// True if the registry already holds a DeviceId value that reads into 66 bytes (its type and
// content are not looked at).
bool deviceIdPresent();

// Writes identifier as the DeviceId value (REG_MULTI_SZ, the text and one NUL). 0 on success, -1
// on failure.
int storeDeviceId(const wchar_t* identifier);
