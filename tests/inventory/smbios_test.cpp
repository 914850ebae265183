#include "inventory/fingerprint.h"
#include "inventory/smbios.h"
#include "inventory/smbios_sources.h"
#include "support/smbios_builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <sstream>

namespace {

using namespace smbios_builder;

SmbiosTable tableOf(std::initializer_list<uint8_t> types, const std::vector<uint8_t>& bytes)
{
    SmbiosTable table;
    for (uint8_t t : types) requestSmbiosType(table, t);
    splitSmbiosStructures(table, bytes.data(), static_cast<uint32_t>(bytes.size()));
    return table;
}

std::vector<uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "Key: value" lines of dmidecode's output, per section title ("System Information", ...).
std::map<std::string, std::map<std::string, std::string>> readDmidecode(const std::string& path)
{
    std::map<std::string, std::map<std::string, std::string>> sections;
    std::ifstream in(path);
    std::string line, section;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] != '\t' && line.find(':') == std::string::npos) section = line;
        if (line.size() < 2 || line[0] != '\t') continue;
        auto colon = line.find(": ");
        if (colon == std::string::npos) continue;
        sections[section][line.substr(1, colon - 1)] = line.substr(colon + 2);
    }
    return sections;
}

const std::string kFixtures = std::string(TALLYSCOPE_FIXTURES_DIR) + "/smbios/";

TEST(SmbiosFixture, RealLaptopTableDecodesAsDmidecodeDoesExceptWhereOurRulesDiffer)
{
    const std::vector<uint8_t> dump = readFile(kFixtures + "surface-laptop-3.rsmb");
    ASSERT_GT(dump.size(), 8u) << "fixture missing: " << kFixtures;
    auto dmi = readDmidecode(kFixtures + "surface-laptop-3.dmidecode.txt");
    ASSERT_FALSE(dmi["System Information"].empty());
    ASSERT_FALSE(dmi["Chassis Information"].empty());

    // The firmware-table dump starts with the provider's 8-byte header.
    SmbiosTable table;
    requestSmbiosType(table, 1);
    requestSmbiosType(table, 3);
    splitSmbiosStructures(table, dump.data() + 8, static_cast<uint32_t>(dump.size() - 8));

    const SmbiosTypeSlot* system = findSmbiosType(table, 1);
    ASSERT_NE(system, nullptr);
    ASSERT_EQ(system->structureLength, system->structureBytes.size());
    SmbiosSystemInfo info = parseSystemInfo(*system);
    auto& s = dmi["System Information"];
    EXPECT_EQ(info.manufacturer, s["Manufacturer"]);
    EXPECT_EQ(info.productName, s["Product Name"]);
    EXPECT_EQ(info.version, s["Version"]);
    EXPECT_EQ(info.serialNumber, s["Serial Number"]);
    EXPECT_EQ(info.skuNumber, s["SKU Number"]);
    EXPECT_EQ(system->nextSlot, nullptr);

    const SmbiosTypeSlot* chassisSlot = findSmbiosType(table, 3);
    ASSERT_NE(chassisSlot, nullptr);
    SmbiosChassisInfo chassis = parseChassisInfo(*chassisSlot);
    auto& c = dmi["Chassis Information"];
    EXPECT_EQ(chassis.manufacturer, c["Manufacturer"]);
    EXPECT_EQ(chassis.serialNumber, c["Serial Number"]);
    EXPECT_EQ(c["Type"], "Laptop");
    EXPECT_EQ(chassis.chassisType, 0x09);
    // On purpose: Laptop is not one of the two portable types we count.
    EXPECT_STREQ(chassisClassName(chassis.chassisType), "Desktop");
    // On purpose: string number 0 gives no value where dmidecode prints "Not Specified", and the
    // number one past the last string gives "" where it prints "<BAD INDEX>".
    EXPECT_EQ(c["Version"], "Not Specified");
    EXPECT_EQ(chassis.version, "");
    EXPECT_EQ(c["Asset Tag"], "<BAD INDEX>");
    EXPECT_EQ(chassis.assetTag, "");
}

TEST(SmbiosFixture, RealLaptopIdentifierMatchesOneBuiltFromDmidecodesValues)
{
    const std::vector<uint8_t> dump = readFile(kFixtures + "surface-laptop-3.rsmb");
    ASSERT_GT(dump.size(), 8u);
    SmbiosTable table;
    requestSmbiosType(table, 1);
    requestSmbiosType(table, 3);
    splitSmbiosStructures(table, dump.data() + 8, static_cast<uint32_t>(dump.size() - 8));
    DeviceFingerprint values;
    fillFingerprintFromTable(table, values);

    const uint8_t mac[6] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
    ProcessorSignature signature;
    for (int i = 0; i < 44; ++i) signature.bytes[i] = static_cast<uint8_t>(i);
    FingerprintInput input;
    assembleFingerprintInput(input, mac, signature, &values);
    char out[kFingerprintDigestBytes];
    ASSERT_TRUE(digestFingerprintInput(input, out));
    // Python, from dmidecode's decoding (asset tag and chassis version empty, class "Desktop"):
    //   v = [b"", b"Microsoft Corporation", b"023078193757", b"Desktop", b"", b"Microsoft Corporation",
    //        b"Surface Laptop 3", b"023078193757", b"Surface_Laptop_3_1873", b"124I:00044T:000M:0400000B:07"]
    //   hashlib.md5(bytes.fromhex("0a1b2c3d4e5f") + bytes(range(44)) + b"".join(v)).hexdigest().upper()
    EXPECT_STREQ(out, "66C9066BAD62ED59586D1CA2A936AC2C");
}

TEST(SmbiosWalk, FirstStructureOfATypeIsStoredAndLaterOnesAreChainedInTableOrder)
{
    auto bytes = concat({systemInfo({"First", "P", "V", "S", "K"}), structure(2, 8, {}, {"Board"}),
                         systemInfo({"Second", "P", "V", "S", "K"}), systemInfo({"Third", "P", "V", "S", "K"})});
    SmbiosTable table = tableOf({1}, bytes);
    ASSERT_EQ(table.requests.size(), 1u);  // the type-2 structure was not requested: no slot, no copy
    const SmbiosTypeSlot* slot = findSmbiosType(table, 1);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(parseSystemInfo(*slot).manufacturer, "First");
    ASSERT_NE(slot->nextSlot, nullptr);
    EXPECT_EQ(parseSystemInfo(*slot->nextSlot).manufacturer, "Second");
    ASSERT_NE(slot->nextSlot->nextSlot, nullptr);
    EXPECT_EQ(parseSystemInfo(*slot->nextSlot->nextSlot).manufacturer, "Third");
    EXPECT_EQ(slot->nextSlot->nextSlot->nextSlot, nullptr);

    DeviceFingerprint values;
    fillFingerprintFromTable(table, values);
    EXPECT_EQ(values.systemManufacturer, "First");
}

TEST(SmbiosWalk, RequestingATypeTwiceKeepsOneSlot)
{
    SmbiosTable table;
    requestSmbiosType(table, 3);
    requestSmbiosType(table, 1);
    requestSmbiosType(table, 3);
    ASSERT_EQ(table.requests.size(), 2u);
    EXPECT_EQ(table.requests[0].structureType, 3);
    EXPECT_EQ(table.requests[1].structureType, 1);
    EXPECT_EQ(findSmbiosType(table, 4), nullptr);
    releaseSmbiosTable(table);
    EXPECT_TRUE(table.requests.empty());
}

TEST(SmbiosWalk, StructureStoredWithItsStringsAndBothTerminatingZeros)
{
    auto chassis = chassisInfo(0x0A, {"Maker"});
    SmbiosTable table = tableOf({3}, concat({systemInfo({"A"}), chassis}));
    const SmbiosTypeSlot* slot = findSmbiosType(table, 3);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->structureBytes, chassis);
    EXPECT_EQ(slot->structureLength, chassis.size());
}

TEST(SmbiosWalk, MissingDoubleZeroEndsTheWalkAndKeepsEarlierStructures)
{
    auto bytes = concat({systemInfo({"Kept", "P", "V", "S", "K"}),
                         structure(3, 0x15, {{4, 1}}, {"never", "ends"}, /*terminated=*/false)});
    SmbiosTable table = tableOf({1, 3}, bytes);
    EXPECT_EQ(parseSystemInfo(*findSmbiosType(table, 1)).manufacturer, "Kept");
    EXPECT_EQ(findSmbiosType(table, 3)->structureLength, 0u);
}

TEST(SmbiosWalk, FormattedAreaRunningPastTheDataEndsTheWalk)
{
    auto first = systemInfo({"Kept", "P", "V", "S", "K"});
    auto bytes = concat({first, {3, 0x40, 0, 0, 0, 0}});
    SmbiosTable table = tableOf({1, 3}, bytes);
    EXPECT_EQ(parseSystemInfo(*findSmbiosType(table, 1)).manufacturer, "Kept");
    EXPECT_EQ(findSmbiosType(table, 3)->structureLength, 0u);
}

TEST(SmbiosWalk, EndOfTableTypeDoesNotStopTheWalk)
{
    auto bytes = concat({structure(127, 4, {}, {}), systemInfo({"After end marker"})});
    SmbiosTable table = tableOf({1}, bytes);
    EXPECT_EQ(parseSystemInfo(*findSmbiosType(table, 1)).manufacturer, "After end marker");
}

TEST(SmbiosWalk, TinyFormattedLengthsStillAdvance)
{
    // Formatted lengths 0 and 1 are not rejected: the string set overlaps the header, and the
    // structure ends at the first double zero after the set's first byte.
    std::vector<uint8_t> bytes = {1, 0, 0, 1, 1, 0, 0};
    SmbiosTable table = tableOf({1}, bytes);
    const SmbiosTypeSlot* slot = findSmbiosType(table, 1);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->structureLength, 3u);
    ASSERT_NE(slot->nextSlot, nullptr);
    EXPECT_EQ(slot->nextSlot->structureLength, 4u);
    EXPECT_EQ(slot->nextSlot->nextSlot, nullptr);
}

TEST(SmbiosSystemInfo, PreTwoFourAreaUsesItsFirstStringByteAsTheSkuNumber)
{
    // A 19h-byte area: byte 19h is the first character of the string set, 'D' (68), and there is
    // no string 68, so the SKU stays empty while the other four decode.
    auto bytes = structure(1, 0x19, {{4, 1}, {5, 2}, {6, 3}, {7, 4}}, {"Dell Inc.", "OptiPlex", "A01", "XYZ"});
    SmbiosTable table = tableOf({1}, bytes);
    SmbiosSystemInfo info = parseSystemInfo(*findSmbiosType(table, 1));
    EXPECT_EQ(info.manufacturer, "Dell Inc.");
    EXPECT_EQ(info.productName, "OptiPlex");
    EXPECT_EQ(info.version, "A01");
    EXPECT_EQ(info.serialNumber, "XYZ");
    EXPECT_EQ(info.skuNumber, "");

    // With a first string starting with byte 02h, the same rule picks string 2 as the SKU.
    auto odd = structure(1, 0x19, {{4, 1}}, {"\x02nd maker", "Second"});
    SmbiosTable oddTable = tableOf({1}, odd);
    EXPECT_EQ(parseSystemInfo(*findSmbiosType(oddTable, 1)).skuNumber, "Second");
}

TEST(SmbiosSystemInfo, StoredSizeBelow27DecodesNothingAnd27Decodes)
{
    auto small = structure(1, 0x14, {{4, 1}}, {"Acme"});  // 20 + 5 + 1 = 26 bytes
    ASSERT_EQ(small.size(), 26u);
    SmbiosTable t1 = tableOf({1}, small);
    SmbiosSystemInfo none = parseSystemInfo(*findSmbiosType(t1, 1));
    EXPECT_EQ(none.manufacturer, "");
    EXPECT_EQ(none.skuNumber, "");

    auto enough = structure(1, 0x14, {{4, 1}}, {"Acmes"});
    ASSERT_EQ(enough.size(), 27u);
    SmbiosTable t2 = tableOf({1}, enough);
    EXPECT_EQ(parseSystemInfo(*findSmbiosType(t2, 1)).manufacturer, "Acmes");
}

TEST(SmbiosChassisInfo, ChassisByteIsDeliveredUnmaskedAndMapsToItsClass)
{
    SmbiosTable table = tableOf({3}, chassisInfo(0x8A, {"M", "V", "S", "T"}));
    SmbiosChassisInfo info = parseChassisInfo(*findSmbiosType(table, 3));
    EXPECT_EQ(info.chassisType, 0x8A);
    EXPECT_EQ(info.manufacturer, "M");
    EXPECT_EQ(info.version, "V");
    EXPECT_EQ(info.serialNumber, "S");
    EXPECT_EQ(info.assetTag, "T");

    EXPECT_STREQ(chassisClassName(0x0A), "NoteBook");
    EXPECT_STREQ(chassisClassName(0x0E), "NoteBook");
    for (uint8_t other : {0x00, 0x08, 0x09, 0x0B, 0x8A, 0x8E, 0xFF}) EXPECT_STREQ(chassisClassName(other), "Desktop");
}

TEST(SmbiosChassisInfo, ShortStructuresDecodeAsFarAsTheyReach)
{
    // Below 8 bytes nothing is decoded; the class becomes "Desktop" from chassis type 0.
    auto tiny = structure(3, 5, {{4, 1}}, {});
    ASSERT_LT(tiny.size(), 8u);
    SmbiosTable t1 = tableOf({3}, tiny);
    SmbiosChassisInfo none = parseChassisInfo(*findSmbiosType(t1, 3));
    EXPECT_EQ(none.chassisType, 0);
    DeviceFingerprint values;
    fillFingerprintFromTable(t1, values);
    EXPECT_EQ(values.chassisClass, "Desktop");
    EXPECT_EQ(values.chassisManufacturer, "");

    // Exactly 8 bytes: no byte 08h, so no asset tag, but the rest decodes.
    auto eight = structure(3, 6, {{4, 1}, {5, 0x0E}}, {}, /*terminated=*/true);
    ASSERT_EQ(eight.size(), 8u);
    SmbiosTable t2 = tableOf({3}, eight);
    SmbiosChassisInfo info = parseChassisInfo(*findSmbiosType(t2, 3));
    EXPECT_EQ(info.chassisType, 0x0E);
    EXPECT_EQ(info.manufacturer, "");  // string 1 is the empty string before the final zero
    EXPECT_EQ(info.assetTag, "");
}

TEST(SmbiosFingerprintValues, MissingChassisLeavesTheClassEmptyRatherThanDesktop)
{
    SmbiosTable table = tableOf({1, 3}, systemInfo({"M", "P", "V", "S", "K"}));
    DeviceFingerprint values;
    fillFingerprintFromTable(table, values);
    EXPECT_EQ(values.systemManufacturer, "M");
    EXPECT_EQ(values.systemSkuNumber, "K");
    EXPECT_EQ(values.chassisClass, "");
}

TEST(SmbiosString, LookupFollowsTheNumberingRules)
{
    const std::string set("one\0two\0\0", 9);
    auto bytes = reinterpret_cast<const uint8_t*>(set.data());
    EXPECT_EQ(getSmbiosString(bytes, 9, 1), "one");
    EXPECT_EQ(getSmbiosString(bytes, 9, 2), "two");
    EXPECT_EQ(getSmbiosString(bytes, 9, 3), "");  // the set's final zero ends an empty string
    EXPECT_EQ(getSmbiosString(bytes, 9, 4), std::nullopt);
    EXPECT_EQ(getSmbiosString(bytes, 9, 0), std::nullopt);
    EXPECT_EQ(getSmbiosString(bytes, 0, 1), std::nullopt);
    // A string cut off by the end of the count has no terminator and so no value.
    EXPECT_EQ(getSmbiosString(bytes, 6, 2), std::nullopt);
}

TEST(SmbiosString, CounterIsEightBitsWideAndWrapsAfter255Strings)
{
    std::vector<uint8_t> set;
    for (int i = 1; i <= 300; ++i) {
        std::string s = "s" + std::to_string(i);
        set.insert(set.end(), s.begin(), s.end());
        set.push_back(0);
    }
    set.push_back(0);
    const uint32_t n = static_cast<uint32_t>(set.size());
    EXPECT_EQ(getSmbiosString(set.data(), n, 255), "s255");
    // The 256th zero byte wraps the counter to 0, so number 0 names string 256 in such a set...
    EXPECT_EQ(getSmbiosString(set.data(), n, 0), "s256");
    // ...and number 1 still finds the first string, before any wrap.
    EXPECT_EQ(getSmbiosString(set.data(), n, 1), "s1");
}

TEST(WindowsVersionClass, ReportedVersionsMapToTheirClasses)
{
    EXPECT_EQ(windowsVersionClassFor(4, 0, 1), 1);
    EXPECT_EQ(windowsVersionClassFor(4, 10, 1), 1);
    EXPECT_EQ(windowsVersionClassFor(4, 90, 1), 1);
    EXPECT_EQ(windowsVersionClassFor(5, 0, 1), 2);
    EXPECT_EQ(windowsVersionClassFor(5, 1, 1), 8);
    EXPECT_EQ(windowsVersionClassFor(5, 2, 1), 32);
    EXPECT_EQ(windowsVersionClassFor(6, 0, 1), 128);
    EXPECT_EQ(windowsVersionClassFor(6, 0, 3), 512);
    EXPECT_EQ(windowsVersionClassFor(6, 1, 3), 2048);
    EXPECT_EQ(windowsVersionClassFor(6, 2, 1), 0);
    EXPECT_EQ(windowsVersionClassFor(6, 3, 1), 0);
    EXPECT_EQ(windowsVersionClassFor(10, 0, 1), 0);
    EXPECT_EQ(windowsVersionClassFor(4, 1, 1), 0);
}

TEST(FirmwareTableSource, SecondCallIsTakenOnlyBetweenHeaderSizeAndTheAllocation)
{
    const std::vector<uint8_t> dump = readFile(kFixtures + "surface-laptop-3.rsmb");
    ASSERT_GT(dump.size(), 8u);
    const uint32_t size = static_cast<uint32_t>(dump.size());
    auto copy = [&] {
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[size]);
        std::memcpy(buffer.get(), dump.data(), size);
        return buffer;
    };
    const struct {
        uint32_t allocated, delivered;
        bool taken;
    } cases[] = {
        {size, size, true},        // the whole table behind the header
        {size, 8, true},           // a header and an empty table
        {size, 7, false},          // shorter than the header: no structures
        {size, 0, false},
        {size - 1, size, false},   // grew since the first call: more than was allocated
    };
    for (const auto& c : cases) {
        SmbiosRawTable raw;
        raw.count = 12345;  // a refusal leaves raw as it was
        ASSERT_EQ(adoptFirmwareTable(raw, copy(), c.allocated, c.delivered), c.taken) << c.delivered;
        if (!c.taken) {
            EXPECT_EQ(raw.buffer, nullptr);
            EXPECT_EQ(raw.count, 12345u);
            continue;
        }
        EXPECT_EQ(raw.offset, 8u);
        EXPECT_EQ(raw.count, c.delivered - 8);
        SmbiosTable table;
        requestSmbiosType(table, 1);
        splitSmbiosStructures(table, raw.buffer.get() + raw.offset, raw.count);
        EXPECT_EQ(findSmbiosType(table, 1)->structureLength != 0, c.delivered == size) << c.delivered;
    }
}

// Under the sanitizers: every buffer below is allocated at its exact size, so any read outside the
// delivered bytes, by the walk or by a string lookup, is reported.
void walkAndDecode(const uint8_t* bytes, uint32_t count)
{
    SmbiosTable table;
    for (int t = 0; t < 256; ++t) requestSmbiosType(table, static_cast<uint8_t>(t));
    splitSmbiosStructures(table, bytes, count);
    uint64_t stored = 0;
    for (const SmbiosTypeSlot& first : table.requests) {
        for (const SmbiosTypeSlot* slot = &first; slot != nullptr; slot = slot->nextSlot.get()) {
            if (slot->structureLength == 0) continue;
            ASSERT_EQ(slot->structureLength, slot->structureBytes.size());
            ASSERT_GE(slot->structureLength, 2u);
            EXPECT_EQ(slot->structureBytes[slot->structureLength - 1], 0);
            EXPECT_EQ(slot->structureBytes[slot->structureLength - 2], 0);
            stored += slot->structureLength;
            // Decode every structure with both decoders, whatever its type.
            SmbiosSystemInfo s = parseSystemInfo(*slot);
            SmbiosChassisInfo c = parseChassisInfo(*slot);
            (void)s;
            (void)c;
        }
    }
    EXPECT_LE(stored, count);
}

TEST(SmbiosRobustness, RandomTablesNeverReadOutsideTheDeliveredBytes)
{
    std::mt19937 random(20261208);
    for (int round = 0; round < 1000; ++round) {
        const uint32_t count = random() % 600;
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[count == 0 ? 1 : count]);
        // Many zeros, small lengths: the shapes that make the walk go further.
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t r = random() % 8;
            bytes[i] = r < 3 ? 0 : r < 5 ? static_cast<uint8_t>(random() % 32) : static_cast<uint8_t>(random());
        }
        walkAndDecode(bytes.get(), count);
        for (uint8_t number = 0; number < 8; ++number) (void)getSmbiosString(bytes.get(), count, number);
        (void)getSmbiosString(bytes.get(), count, static_cast<uint8_t>(random()));
    }
}

TEST(SmbiosRobustness, EveryTruncationOfARealTableIsWalkedSafely)
{
    const std::vector<uint8_t> dump = readFile(kFixtures + "surface-laptop-3.rsmb");
    ASSERT_GT(dump.size(), 8u);
    for (size_t count = 0; count + 8 <= dump.size(); ++count) {
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[count == 0 ? 1 : count]);
        std::copy(dump.begin() + 8, dump.begin() + 8 + count, bytes.get());
        walkAndDecode(bytes.get(), static_cast<uint32_t>(count));
    }
}

TEST(SmbiosRobustness, DecodersStayInsideSlotsWhoseOffsetsPointOutside)
{
    // A hand-made slot whose string-set offset lies beyond its stored bytes, and one that claims
    // more bytes than it holds.
    SmbiosTypeSlot slot;
    slot.structureType = 1;
    slot.structureBytes.assign(30, 0x01);
    slot.structureBytes[1] = 0xF0;
    slot.structureLength = 30;
    EXPECT_EQ(parseSystemInfo(slot).manufacturer, "");
    EXPECT_EQ(parseChassisInfo(slot).manufacturer, "");
    slot.structureBytes[1] = 4;
    slot.structureLength = 200;
    EXPECT_EQ(parseSystemInfo(slot).manufacturer, "");
}

TEST(SmbiosRobustness, LongChainOfOneTypeIsBuiltAndFreedWithoutRecursion)
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 100000; ++i) bytes.insert(bytes.end(), {1, 2, 0, 0});
    SmbiosTable table = tableOf({1}, bytes);
    size_t chain = 0;
    for (const SmbiosTypeSlot* s = findSmbiosType(table, 1); s != nullptr; s = s->nextSlot.get()) ++chain;
    EXPECT_EQ(chain, 100000u);
    releaseSmbiosTable(table);
}

}  // namespace
