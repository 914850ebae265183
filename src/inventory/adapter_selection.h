// Which network adapter's MAC address enters the hardware fingerprint: only adapters whose Plug
// and Play instance identifier begins with "PCI" count, so virtual, tunnel, USB and software
// adapters never change the identifier.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/limits.h"

// The running choice among physical adapters, offered in the order the system lists them.
//
// An offered address replaces the chosen one as soon as any one of its bytes is greater than the
// byte at the same position, whatever the other positions hold. This is not a maximum, and the
// outcome depends on the listing order; it is kept because machines are already known to the
// statistics server by the address it picks.
class AdapterAddressChoice {
public:
    void offer(const uint8_t* address);
    // Copies the chosen address to out and returns true only if none of its bytes is zero.
    bool take(uint8_t* out) const;

private:
    uint8_t chosen_[kMacAddressBytes] = {};
};

// True for an instance identifier whose first three units are "PCI", case-sensitively.
bool isPciInstanceId(const wchar_t* instanceId);

// Platform side (GetAdaptersInfo and the network class key of the registry).
bool selectPhysicalMac(uint8_t* out);
bool isPhysicalAdapter(const wchar_t* adapterName);
