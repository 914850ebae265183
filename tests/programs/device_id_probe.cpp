// Derives the device identifier the way a start does (initDeviceId, static core) and prints the
// ANSI code page and both forms kept for the reports, one "key=value" line each.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "report/device_identity.h"

int main()
{
    DeviceIdentity identity;
    std::memset(identity.ansi, 'Z', sizeof identity.ansi);  // nothing stale may survive
    initDeviceId(identity);
    char wide[kDeviceIdWideUnits] = {};
    for (std::size_t i = 0; i < kDeviceIdWideUnits && identity.wide[i] != 0; ++i) {
        wide[i] = identity.wide[i] < 128 ? static_cast<char>(identity.wide[i]) : '?';
    }
    std::printf("acp=%u\nwide=%s\nansi=%s\n", GetACP(), wide, identity.ansi);
    return 0;
}
