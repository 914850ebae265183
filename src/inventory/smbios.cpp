#include "inventory/smbios.h"

#include <utility>

namespace {

// Structures before SMBIOS 2.4 have a 19h-byte area and no SKU number; the 27-byte minimum stored
// size is what makes reading the SKU's string number at 19h stay inside the structure.
constexpr uint32_t kMinSystemInfoBytes = 27;
constexpr uint32_t kMinChassisBytes = 8;

void copyString(const SmbiosTypeSlot& slot, uint8_t number, std::string& target)
{
    const uint32_t setOffset = slot.structureBytes[1];
    if (setOffset >= slot.structureLength) return;
    if (auto value = getSmbiosString(slot.structureBytes.data() + setOffset, slot.structureLength - setOffset, number)) {
        target = std::move(*value);
    }
}

// The stored length and the vector agree for every slot the walk fills; a hand-made slot that
// claims more bytes than it holds is decoded as if it held nothing.
bool holdsStructure(const SmbiosTypeSlot& slot, uint32_t minimum)
{
    return slot.structureLength >= minimum && slot.structureLength <= slot.structureBytes.size();
}

}  // namespace

SmbiosTypeSlot::~SmbiosTypeSlot()
{
    std::unique_ptr<SmbiosTypeSlot> next = std::move(nextSlot);
    while (next) next = std::move(next->nextSlot);
}

void requestSmbiosType(SmbiosTable& table, uint8_t type)
{
    if (findSmbiosType(table, type) != nullptr) return;
    SmbiosTypeSlot slot;
    slot.structureType = type;
    table.requests.push_back(std::move(slot));
}

const SmbiosTypeSlot* findSmbiosType(const SmbiosTable& table, uint8_t type)
{
    for (const SmbiosTypeSlot& slot : table.requests) {
        if (slot.structureType == type) return &slot;
    }
    return nullptr;
}

void releaseSmbiosTable(SmbiosTable& table) { table.requests.clear(); }

void splitSmbiosStructures(SmbiosTable& table, const uint8_t* bytes, uint32_t count)
{
    if (bytes == nullptr) return;
    // Where each slot's chain ends, so that appending stays cheap on long chains.
    std::vector<SmbiosTypeSlot*> chainEnds;
    chainEnds.reserve(table.requests.size());
    for (SmbiosTypeSlot& slot : table.requests) {
        SmbiosTypeSlot* end = &slot;
        while (end->nextSlot) end = end->nextSlot.get();
        chainEnds.push_back(end);
    }

    uint64_t offset = 0;
    while (offset + 1 < count) {
        const uint8_t type = bytes[offset];
        const uint64_t formatted = bytes[offset + 1];
        if (offset + formatted >= count) break;
        const uint64_t rest = count - offset - formatted;
        if (rest <= 1) break;

        const uint8_t* stringSet = bytes + offset + formatted;
        uint64_t terminator = 0;
        while (terminator + 1 < rest && !(stringSet[terminator] == 0 && stringSet[terminator + 1] == 0)) ++terminator;
        if (terminator + 1 >= rest) break;

        const uint64_t size = formatted + terminator + 2;
        for (size_t i = 0; i < table.requests.size(); ++i) {
            SmbiosTypeSlot& slot = table.requests[i];
            if (slot.structureType != type) continue;
            if (slot.structureLength == 0) {
                slot.structureBytes.assign(bytes + offset, bytes + offset + size);
                slot.structureLength = static_cast<uint32_t>(size);
            } else {
                auto later = std::make_unique<SmbiosTypeSlot>();
                later->structureType = type;
                later->structureBytes.assign(bytes + offset, bytes + offset + size);
                later->structureLength = static_cast<uint32_t>(size);
                chainEnds[i]->nextSlot = std::move(later);
                chainEnds[i] = chainEnds[i]->nextSlot.get();
            }
            break;
        }
        offset += size;
    }
}

std::optional<std::string> getSmbiosString(const uint8_t* stringSet, uint32_t count, uint8_t number)
{
    if (stringSet == nullptr || count == 0) return std::nullopt;
    uint8_t counter = 0;
    uint32_t start = 0;
    for (uint32_t position = 0; position < count; ++position) {
        if (stringSet[position] != 0) continue;
        ++counter;
        if (counter == number) {
            return std::string(reinterpret_cast<const char*>(stringSet + start), position - start);
        }
        start = position + 1;
    }
    return std::nullopt;
}

SmbiosSystemInfo parseSystemInfo(const SmbiosTypeSlot& slot)
{
    SmbiosSystemInfo info;
    if (!holdsStructure(slot, kMinSystemInfoBytes)) return info;
    const uint8_t* d = slot.structureBytes.data();
    copyString(slot, d[0x04], info.manufacturer);
    copyString(slot, d[0x05], info.productName);
    copyString(slot, d[0x06], info.version);
    copyString(slot, d[0x07], info.serialNumber);
    // Read at 19h whatever the formatted length: in a pre-2.4 structure this byte belongs to the
    // string set, and the identifiers already issued depend on using it all the same.
    copyString(slot, d[0x19], info.skuNumber);
    return info;
}

SmbiosChassisInfo parseChassisInfo(const SmbiosTypeSlot& slot)
{
    SmbiosChassisInfo info;
    if (!holdsStructure(slot, kMinChassisBytes)) return info;
    const uint8_t* d = slot.structureBytes.data();
    info.chassisType = d[0x05];
    copyString(slot, d[0x04], info.manufacturer);
    copyString(slot, d[0x06], info.version);
    copyString(slot, d[0x07], info.serialNumber);
    if (slot.structureLength > 0x08) copyString(slot, d[0x08], info.assetTag);
    return info;
}
