#include "spool/spool_format.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace spool {

namespace {

constexpr char kFileMagic[] = "TSQ1";
constexpr char kEntryMagic[] = "TSE";
constexpr char kIdEntryMagic[] = "TSI";
constexpr std::size_t kFileMagicBytes = 4;
constexpr std::size_t kEntryMagicBytes = 3;
constexpr std::size_t kLongKeyBytes = 40;  // a key longer than this keeps its start and a checksum

std::array<uint32_t, 256> makeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

void putLittleEndian(std::string& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint32_t getLittleEndian(const char* p)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(p[i]);
    return value;
}

bool isKeyCharacter(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

uint32_t crc32(const void* data, std::size_t size, uint32_t crc)
{
    static const std::array<uint32_t, 256> table = makeCrcTable();
    const auto* bytes = static_cast<const unsigned char*>(data);
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::string encodeSegment(const std::vector<Report>& reports, std::size_t* stored)
{
    std::string out(kFileMagic, kFileMagicBytes);
    std::size_t kept = 0;
    for (const Report& report : reports) {
        const std::string& body = report.body;
        if (body.size() > kMaxSpooledBody || body.find('\0') != std::string::npos) continue;
        const bool withId = isReportIdText(report.id);
        std::string length;
        putLittleEndian(length, static_cast<uint32_t>(body.size()));
        uint32_t crc = crc32(length.data(), length.size());
        if (withId) crc = crc32(report.id.data(), report.id.size(), crc);
        crc = crc32(body.data(), body.size(), crc);
        out.append(withId ? kIdEntryMagic : kEntryMagic, kEntryMagicBytes);
        out.push_back(kWaiting);
        out += length;
        putLittleEndian(out, crc);
        if (withId) out += report.id;
        out += body;
        ++kept;
    }
    if (stored != nullptr) *stored = kept;
    return out;
}

std::string encodeSegment(const std::vector<std::string>& bodies, std::size_t* stored)
{
    std::vector<Report> reports;
    reports.reserve(bodies.size());
    for (const std::string& body : bodies) reports.push_back(Report{std::string(), body});
    return encodeSegment(reports, stored);
}

std::vector<Entry> parseSegment(const char* data, std::size_t size, bool* intact)
{
    std::vector<Entry> entries;
    if (intact != nullptr) *intact = data != nullptr;
    if (data == nullptr) return entries;
    std::size_t at = size >= kFileMagicBytes && std::memcmp(data, kFileMagic, kFileMagicBytes) == 0 ? kFileMagicBytes : 0;
    if (at == 0 && intact != nullptr) *intact = false;
    std::size_t expected = at;  // where the next entry starts when nothing is damaged
    while (at < size) {
        // Find the next marker from here: after damage, this is where reading picks up again.
        const char* found = nullptr;
        if (size - at >= kEntryMagicBytes) {
            const char* p = data + at;
            const char* last = data + size - kEntryMagicBytes;
            for (; p <= last; ++p) {
                if (p[0] == 'T' && p[1] == 'S' && (p[2] == kEntryMagic[2] || p[2] == kIdEntryMagic[2])) {
                    found = p;
                    break;
                }
            }
        }
        if (found == nullptr) break;
        const std::size_t start = static_cast<std::size_t>(found - data);
        at = start + 1;  // where the scan goes on if this entry does not hold
        if (size - start < kEntryHeaderBytes) break;
        const char* header = data + start;
        const bool withId = header[2] == kIdEntryMagic[2];
        const std::size_t idBytes = withId ? kIdBytes : 0;
        const uint32_t length = getLittleEndian(header + 4);
        if (length > kMaxSpooledBody || size - start - kEntryHeaderBytes < idBytes + length) continue;
        const char* id = header + kEntryHeaderBytes;
        const char* body = id + idBytes;
        uint32_t crc = crc32(header + 4, 4);
        if (withId) crc = crc32(id, idBytes, crc);
        crc = crc32(body, length, crc);
        if (crc != getLittleEndian(header + 8)) continue;
        if (std::memchr(body, '\0', length) != nullptr) continue;
        std::string idText(id, idBytes);
        if (withId && !isReportIdText(idText)) continue;
        if (start != expected && intact != nullptr) *intact = false;
        entries.push_back(Entry{start + 3, header[3] == kWaiting, std::string(body, length), std::move(idText)});
        at = start + kEntryHeaderBytes + idBytes + length;
        expected = at;
    }
    if (expected != size && intact != nullptr) *intact = false;
    return entries;
}

std::size_t oldestToDrop(const std::vector<std::size_t>& waiting, const std::vector<std::size_t>& incoming,
                         std::size_t* dropIncoming)
{
    // Walk from the newest backwards, keeping what fits; everything older than the first report
    // that does not fit goes.
    std::size_t count = 0;
    std::size_t bytes = 0;
    std::size_t keptIncoming = 0;
    for (std::size_t i = incoming.size(); i-- > 0;) {
        if (count + 1 > kMaxSpooledReports || bytes + entryBytes(incoming[i]) > kMaxSpooledBytes) break;
        ++count;
        bytes += entryBytes(incoming[i]);
        ++keptIncoming;
    }
    if (dropIncoming != nullptr) *dropIncoming = incoming.size() - keptIncoming;
    if (keptIncoming < incoming.size()) return waiting.size();
    std::size_t keptWaiting = 0;
    for (std::size_t i = waiting.size(); i-- > 0;) {
        if (count + 1 > kMaxSpooledReports || bytes + entryBytes(waiting[i]) > kMaxSpooledBytes) break;
        ++count;
        bytes += entryBytes(waiting[i]);
        ++keptWaiting;
    }
    return waiting.size() - keptWaiting;
}

std::string folderNameForKey(const char* appKey)
{
    std::string escaped;
    const std::size_t length = appKey == nullptr ? 0 : std::strlen(appKey);
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(appKey[i]);
        if (isKeyCharacter(c)) {
            escaped.push_back(static_cast<char>(c));
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            escaped += hex;
        }
    }
    if (escaped.size() > kLongKeyBytes) {
        // Keeps paths short whatever the key: a cut key plus the checksum of all of it.
        char sum[10];
        std::snprintf(sum, sizeof sum, "~%08lx", static_cast<unsigned long>(crc32(appKey, length)));
        escaped.resize(kLongKeyBytes);
        // Never leave half an escape at the cut.
        const std::size_t percent = escaped.rfind('%');
        if (percent != std::string::npos && percent + 3 > escaped.size()) escaped.resize(percent);
        escaped += sum;
    }
    return "app_" + escaped;
}

std::string segmentName(uint64_t time, uint32_t process, uint32_t counter)
{
    char name[48];
    std::snprintf(name, sizeof name, "%08lx%08lx%08lx%08lx.tsq", static_cast<unsigned long>(time >> 32),
                  static_cast<unsigned long>(time & 0xFFFFFFFFu), static_cast<unsigned long>(process),
                  static_cast<unsigned long>(counter));
    return name;
}

bool isSegmentName(const std::string& name)
{
    if (name.size() != 36 || name.compare(32, 4, ".tsq") != 0) return false;
    for (std::size_t i = 0; i < 32; ++i) {
        if (!isLowerHex(name[i])) return false;
    }
    return true;
}

std::vector<std::string> segmentsOldestFirst(std::vector<std::string> names)
{
    names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& name) { return !isSegmentName(name); }),
                names.end());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace spool
