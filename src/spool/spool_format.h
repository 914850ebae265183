// The on-disk form of the report spool: reports that got no answer wait here, across outages and
// restarts, until a worker of the same application can post them.
//
// A spool is a folder of segment files, one per batch of reports moved there at once. A segment is
// named by when and by whom it was written (see segmentName), so names sort oldest first. Its
// bytes:
//
//     file   := "TSQ1" entry*
//     entry  := "TSE" state:1 length:4 crc:4 body:length
//             | "TSI" state:1 length:4 crc:4 id:32 body:length
//
// state is 'W' while the report waits and becomes 'D' (written in place, one byte) once the server
// answered it; length is the body's byte count, little-endian, at most kMaxSpooledBody; crc is the
// CRC-32 (the zlib/PNG one) of the four length bytes followed by the id (if any) and the body; id
// is the report's id as the "TallyScope-Report-Id" header carries it (32 lowercase hex digits).
// Older builds wrote "TSE" entries only; they are read and sent as before, without the header. Bodies are report texts:
// no zero byte. A reader accepts an entry only when marker, length, checksum and body all hold;
// anything else (a write cut short by a crash or a full disk, flipped bytes, a truncated file) is
// skipped up to the next "TSE" marker, so damage costs the entries it hit and never yields a
// different body. The state byte is outside the checksum because it changes in place: a flipped
// state at worst sends one report again or drops it, never alters it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "service/report_id.h"

namespace spool {

constexpr std::size_t kMaxSpooledReports = 1024;
constexpr std::size_t kMaxSpooledBytes = 2u << 20;  // entries (header and body) over all segments
constexpr std::size_t kMaxSpooledBody = 2048;
constexpr std::size_t kEntryHeaderBytes = 12;
constexpr std::size_t kIdBytes = 32;
constexpr char kWaiting = 'W';
constexpr char kDone = 'D';

uint32_t crc32(const void* data, std::size_t size, uint32_t crc = 0);

struct Entry {
    std::size_t stateOffset;  // where the state byte lies in the segment
    bool waiting;
    std::string body;
    std::string id;  // empty for an entry without one
};

// The bytes of a new segment holding bodies in order, every one waiting. A body the format cannot
// hold (too long, or with a zero byte) is left out; the count of bodies kept goes to stored.
std::string encodeSegment(const std::vector<Report>& reports, std::size_t* stored = nullptr);
// The same without ids: the segments older builds wrote.
std::string encodeSegment(const std::vector<std::string>& bodies, std::size_t* stored = nullptr);

// Every intact entry of a segment's bytes, in file order; damaged stretches are skipped. intact (when
// given) says whether every byte after the file marker belonged to an intact entry.
std::vector<Entry> parseSegment(const char* data, std::size_t size, bool* intact = nullptr);

// Bytes an entry of this body takes in a segment (with an id: the bounds count every entry so).
inline std::size_t entryBytes(std::size_t bodyLength) { return kEntryHeaderBytes + kIdBytes + bodyLength; }

// How many of the oldest waiting reports must go so that the rest, plus the incoming ones, stays
// within kMaxSpooledReports and kMaxSpooledBytes. Both lists hold body lengths, oldest first; when
// the incoming ones alone are over the bounds, every waiting one goes and dropIncoming says how
// many of the oldest incoming ones go too.
std::size_t oldestToDrop(const std::vector<std::size_t>& waiting, const std::vector<std::size_t>& incoming,
                         std::size_t* dropIncoming);

// The folder name of an application key: letters a to z, digits, '-' and '_' as they are, every
// other byte as %XX (folder names ignore letter case, keys do not), behind "app_" so that no key
// becomes a reserved device name. Long keys keep a readable start and a checksum of the whole key.
std::string folderNameForKey(const char* appKey);

// "<16 hex time><8 hex process><8 hex counter>.tsq": ordered by time, unique per writer.
std::string segmentName(uint64_t time, uint32_t process, uint32_t counter);
bool isSegmentName(const std::string& name);
// The segments among a folder's file names, oldest first. The listing's own order is never relied
// on: NTFS and Wine list by name, but FAT and network shares in an order of their own.
std::vector<std::string> segmentsOldestFirst(std::vector<std::string> names);

}  // namespace spool
