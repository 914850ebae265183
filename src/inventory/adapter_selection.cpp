#include "inventory/adapter_selection.h"

#include <cstring>

void AdapterAddressChoice::offer(const uint8_t* address)
{
    for (std::size_t i = 0; i < kMacAddressBytes; ++i) {
        if (address[i] > chosen_[i]) {
            std::memcpy(chosen_, address, kMacAddressBytes);
            return;
        }
    }
}

bool AdapterAddressChoice::take(uint8_t* out) const
{
    for (uint8_t byte : chosen_) {
        if (byte == 0) return false;
    }
    std::memcpy(out, chosen_, kMacAddressBytes);
    return true;
}

bool isPciInstanceId(const wchar_t* instanceId)
{
    return instanceId != nullptr && instanceId[0] == L'P' && instanceId[1] == L'C' && instanceId[2] == L'I';
}
