#include "inventory/smbios_sources.h"

#include <new>
#include <utility>

namespace {

uint8_t* allocateWithoutThrowing(std::size_t bytes) { return new (std::nothrow) uint8_t[bytes]; }

}  // namespace

SmbiosBufferAllocator g_smbiosBufferAllocator = allocateWithoutThrowing;

bool adoptFirmwareTable(SmbiosRawTable& raw, std::unique_ptr<uint8_t[]> buffer, uint32_t allocated,
                        uint32_t delivered)
{
    constexpr uint32_t kHeaderBytes = 8;
    if (!buffer || delivered < kHeaderBytes || delivered > allocated) return false;
    raw.buffer = std::move(buffer);
    raw.offset = kHeaderBytes;
    raw.count = delivered - kHeaderBytes;  // the header's own length field is not used
    return true;
}

uint16_t windowsVersionClassFor(uint32_t major, uint32_t minor, uint8_t productType)
{
    if (major == 4 && (minor == 0 || minor == 10 || minor == 90)) return 1;
    if (major == 5 && minor == 0) return 2;
    if (major == 5 && minor == 1) return 8;
    if (major == 5 && minor == 2) return 32;
    if (major == 6 && minor == 0) return productType == 3 ? 512 : 128;
    if (major == 6 && minor == 1) return 2048;
    return 0;
}
