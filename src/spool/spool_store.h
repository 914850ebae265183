// Where reports that got no answer wait: what the upload worker needs of the spool. The Windows
// store keeps it in files (spool_format.h), per user and per application key, under
// %LOCALAPPDATA%\TallyScope\spool\<folderNameForKey>\.
#pragma once

#include <memory>
#include <string>
#include <vector>

class Spool {
public:
    virtual ~Spool() = default;

    // Stores bodies (oldest first) behind everything that waits already, dropping the oldest
    // waiting reports beyond the bounds. False when they could not be stored (no folder, a
    // read-only folder, a full disk): the caller still has them.
    virtual bool append(const std::vector<std::string>& bodies) = 0;

    // Takes the spool for sending. False when nothing waits or another process of the same
    // application is sending it right now: two processes never send the same report.
    virtual bool claim() = 0;
    // The oldest waiting body of the claimed spool; false when none is left.
    virtual bool peek(std::string& body) = 0;
    // The body peek gave was answered: it is never sent again.
    virtual void markDone() = 0;
    // Gives the claim up; what was not marked done waits on.
    virtual void release() = 0;
};

// The spool of appKey for the current user (Windows only). Never null; a spool whose folder cannot
// be found or made simply stores nothing.
std::unique_ptr<Spool> openSpool(const char* appKey);
