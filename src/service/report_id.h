// The identity of one accepted report: 128 bits unique on this machine, sent with every attempt in
// the "TallyScope-Report-Id" header so that the server stores a report once however often it
// arrives (a post cut by its deadline after the server stored it, a crash before the done mark).
// A process draws 128 random bits from the system's generator once and counts up from them: two
// processes collide only if their random starts fall within a few million of each other.
#pragma once

#include <cstdint>
#include <string>

struct ReportId {
    uint64_t high = 0;
    uint64_t low = 0;

    bool empty() const { return high == 0 && low == 0; }
    // 32 lowercase hex digits, high half first; empty text for an empty id.
    std::string hex() const;
};

// Draws this process's random start if it has not been drawn yet. The service start calls it, so
// that the host thread's first report does not pay for it.
void prepareReportIds();
// The next id of this process; a few nanoseconds on any thread.
ReportId nextReportId();

// A report as the worker holds it: its id as the header carries it (empty for one an older build
// spooled) and its body.
struct Report {
    std::string id;
    std::string body;
};

// Whether text is an id as the header carries it (32 lowercase hex digits).
bool isReportIdText(const std::string& text);

// Fills size bytes from the system's generator; false when it fails.
bool drawSystemRandom(void* into, std::size_t size);
