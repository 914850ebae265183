// The device identifier kept in ServiceState for the reports, and its write-once registry record.
#pragma once

// Derives the identifier on the calling thread, fills deviceIdWide and deviceIdAnsi and records it
// under HKLM\SOFTWARE\TallyScope\DeviceId when no readable value is there yet.
void initDeviceId();
