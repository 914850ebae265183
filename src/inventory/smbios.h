// The SMBIOS structure table: splitting it into structures, looking up their strings and decoding
// the System Information (type 1) and System Enclosure or Chassis (type 3) structures. Works on any
// byte buffer; where the bytes come from is smbios_acquire_win.cpp's business.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

constexpr uint8_t kSmbiosSystemInfoType = 1;
constexpr uint8_t kSmbiosChassisType = 3;
constexpr uint8_t kUnassignedSmbiosType = 255;

// One requested structure type: the first structure of that type in table order, and behind it, in
// a chain of slots of their own, the later ones.
struct SmbiosTypeSlot {
    uint8_t structureType = kUnassignedSmbiosType;
    uint32_t structureLength = 0;             // 0 while no structure is stored
    std::vector<uint8_t> structureBytes;      // formatted area, string set and its two zero bytes
    std::unique_ptr<SmbiosTypeSlot> nextSlot;

    SmbiosTypeSlot() = default;
    SmbiosTypeSlot(SmbiosTypeSlot&&) = default;
    SmbiosTypeSlot& operator=(SmbiosTypeSlot&&) = default;
    // A table of tiny structures of one type makes a chain tens of thousands long: unlink it
    // iteratively rather than by recursive destruction.
    ~SmbiosTypeSlot();
};

struct SmbiosTable {
    std::vector<SmbiosTypeSlot> requests;  // one slot per requested type, in request order
};

struct SmbiosSystemInfo {
    std::string manufacturer;
    std::string productName;
    std::string version;
    std::string serialNumber;
    std::string skuNumber;
};

struct SmbiosChassisInfo {
    uint8_t chassisType = 0;  // the whole byte, chassis-lock bit 7 included
    std::string manufacturer;
    std::string version;
    std::string serialNumber;
    std::string assetTag;
};

// Adds a slot for type unless the table already has one.
void requestSmbiosType(SmbiosTable& table, uint8_t type);
// The first slot in request order with that type, or null.
const SmbiosTypeSlot* findSmbiosType(const SmbiosTable& table, uint8_t type);
// Frees every slot, its chain and their bytes.
void releaseSmbiosTable(SmbiosTable& table);

// Walks count bytes of structures and stores those of the requested types. Stops at the first
// structure whose formatted area or string-set terminator does not fit in the bytes; structures
// stored before it stay stored. May throw std::bad_alloc.
void splitSmbiosStructures(SmbiosTable& table, const uint8_t* bytes, uint32_t count);

// String number `number` of a string set of count bytes, or none. The counter is 8 bits wide, as
// it always was: after 255 strings it wraps, and the identifiers depend on that.
std::optional<std::string> getSmbiosString(const uint8_t* stringSet, uint32_t count, uint8_t number);

// Decode the slot's own structure, not its chain.
SmbiosSystemInfo parseSystemInfo(const SmbiosTypeSlot& slot);
SmbiosChassisInfo parseChassisInfo(const SmbiosTypeSlot& slot);
