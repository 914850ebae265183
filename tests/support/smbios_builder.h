// Hand-built SMBIOS structures for the tests: a formatted area with chosen bytes, then the string
// set, closed by the double zero (or not, for the malformed cases).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace smbios_builder {

struct ByteAt {
    uint8_t offset;
    uint8_t value;
};

// formattedLength bytes of formatted area (type and length filled in, the rest zero unless set),
// followed by each string and its zero, and one more zero (two if there are no strings).
inline std::vector<uint8_t> structure(uint8_t type, uint8_t formattedLength, std::initializer_list<ByteAt> bytes,
                                      const std::vector<std::string>& strings, bool terminated = true)
{
    std::vector<uint8_t> out(formattedLength, 0);
    if (formattedLength > 0) out[0] = type;
    if (formattedLength > 1) out[1] = formattedLength;
    for (ByteAt b : bytes) {
        if (b.offset < out.size()) out[b.offset] = b.value;
    }
    for (const std::string& s : strings) {
        out.insert(out.end(), s.begin(), s.end());
        out.push_back(0);
    }
    if (!terminated) return out;
    if (strings.empty()) out.push_back(0);
    out.push_back(0);
    return out;
}

// A type-1 structure of the SMBIOS 2.4+ layout (1Bh bytes): string numbers 1 to 5 for
// manufacturer, product, version, serial and SKU.
inline std::vector<uint8_t> systemInfo(const std::vector<std::string>& strings)
{
    return structure(1, 0x1B, {{4, 1}, {5, 2}, {6, 3}, {7, 4}, {0x19, 5}}, strings);
}

// A type-3 structure (15h bytes) with the given chassis type: manufacturer 1, version 2, serial 3,
// asset tag 4.
inline std::vector<uint8_t> chassisInfo(uint8_t chassisType, const std::vector<std::string>& strings)
{
    return structure(3, 0x15, {{4, 1}, {5, chassisType}, {6, 2}, {7, 3}, {8, 4}}, strings);
}

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace smbios_builder
