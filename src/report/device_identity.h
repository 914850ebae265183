// The device identifier kept in ServiceState for the reports, and its write-once registry record.
#pragma once

// Derives the identifier on the calling thread, fills deviceIdWide and deviceIdAnsi and records it
// under HKLM\SOFTWARE\TallyScope\DeviceId when no readable value is there yet.
void initDeviceId();

// True if the registry already holds a DeviceId value that reads into 66 bytes (its type and
// content are not looked at).
bool deviceIdPresent();

// Writes identifier as the DeviceId value (REG_MULTI_SZ, the text and one NUL). 0 on success, -1
// on failure.
int storeDeviceId(const wchar_t* identifier);
