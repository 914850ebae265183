// Where reports that got no answer wait: what the upload worker needs of the spool. The Windows
// store keeps it in files (spool_format.h), per user and per application key, under
// %LOCALAPPDATA%\TallyScope\spool\<folderNameForKey>\.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/report_id.h"

class Spool {
public:
    virtual ~Spool() = default;

    // Stores reports (oldest first) behind everything that waits already, and only once they are
    // on the disk for good (written, flushed, renamed with write-through) drops the oldest waiting
    // reports beyond the bounds. False when they could not be stored (no folder, a read-only
    // folder, a full disk): nothing was dropped and the caller still has them.
    virtual bool append(const std::vector<Report>& reports) = 0;

    // Takes the spool for sending. False when nothing waits or another process of the same
    // application is sending it right now: two processes never send the same report.
    virtual bool claim() = 0;
    // The oldest waiting report of the claimed spool (segments in name order); false when none is
    // left.
    virtual bool peek(Report& report) = 0;
    // The report peek gave was answered: it is never sent again. The mark is on the disk for good
    // when this returns.
    virtual void markDone() = 0;
    // Gives the claim up; what was not marked done waits on.
    virtual void release() = 0;
};

// The spool of appKey for the current user (Windows only). Never null; a spool whose folder cannot
// be found or made simply stores nothing.
std::unique_ptr<Spool> openSpool(const char* appKey);
