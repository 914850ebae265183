// Where the SMBIOS structure table comes from. Which source is tried depends on the Windows version
// class; every source fails silently, and then the fingerprint goes on without SMBIOS values.
#pragma once

#include "inventory/smbios.h"
#include "inventory/wmi_lock.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// A structure table as a source delivered it: count bytes of structures from offset in buffer.
struct SmbiosRawTable {
    std::unique_ptr<uint8_t[]> buffer;
    uint32_t offset = 0;
    uint32_t count = 0;
};

enum class SmbiosSource : uint8_t { None, FirmwareTable, Wmi, PhysicalMemory };

// Which sources an acquisition tried, in order, and whether each delivered (for diagnostics and
// tests; the acquisition itself never looks back at it).
struct SmbiosAttempts {
    SmbiosSource tried[2] = {SmbiosSource::None, SmbiosSource::None};
    bool delivered[2] = {false, false};
    int count = 0;
    void note(SmbiosSource source, bool ok)
    {
        if (count < 2) {
            tried[count] = source;
            delivered[count] = ok;
            ++count;
        }
    }
};

// The version classes of the reported Windows version (plain, so that the table can be tested
// without changing the system's version). productType 3 is a server.
uint16_t windowsVersionClassFor(uint32_t major, uint32_t minor, uint8_t productType);

// Takes the result of the second GetSystemFirmwareTable call into raw: the structures behind the
// provider's 8-byte header. A table that grew between the two calls reports more than was
// allocated, and one shorter than the header has no structures; neither is taken, and raw is left
// as it was.
bool adoptFirmwareTable(SmbiosRawTable& raw, std::unique_ptr<uint8_t[]> buffer, uint32_t allocated,
                        uint32_t delivered);

// How the sources allocate the buffers they deliver (new[] or null, never a throw); tests swap it
// to take the out-of-memory path.
using SmbiosBufferAllocator = uint8_t* (*)(std::size_t bytes);
extern SmbiosBufferAllocator g_smbiosBufferAllocator;

// The class of the running system, cached once it is non-zero. 6.2 and later have class 0, as
// systems that report a version the table does not know.
uint16_t getWindowsVersionClass();

// Fills the table's requested slots from the first source its version class allows. True when a
// source delivered a table, whether or not it held a requested structure.
bool acquireSmbiosTable(SmbiosTable& table, SmbiosAttempts* attempts = nullptr);

bool readSmbiosFromFirmwareTable(SmbiosRawTable& raw);
// Expects COM joined on the calling thread as a multithreaded apartment.
bool readSmbiosFromWmi(SmbiosRawTable& raw, const WmiTurn& turn = WmiTurn());
bool readSmbiosFromPhysicalMemory(SmbiosRawTable& raw);

// How long the WMI source waits for the service to connect and for the first instance before it
// gives up: generous enough for a slow first start of the service, bounded so that a stuck service
// cannot hang the host's SetAppInfo.
constexpr uint32_t kSmbiosWmiTimeoutMs = 30000;
