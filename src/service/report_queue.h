// Bounded FIFO of report bodies between the threads that report and the upload worker.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>

#include "common/limits.h"
#include "report/report_body.h"
#include "service/report_id.h"

class ReportQueue {
public:
    // A full queue drops (and frees) its oldest body. Returns false (and frees the body) only
    // when the queue itself cannot grow.
    bool pushBack(ReportBody body, ReportId id = ReportId());
    // The oldest body, now the caller's, or an empty one when the queue is empty; id (when given)
    // receives the identity it was queued with.
    ReportBody popFront(ReportId* id = nullptr);
    std::size_t size();

private:
    std::mutex lock_;
    struct Entry {
        ReportBody body;
        ReportId id;
    };
    std::deque<Entry> bodies_;
};

// The process's queue, created on first use; safe when a reporting thread and the worker race.
ReportQueue& getReportQueue();
// Whether the process's queue exists right now.
bool reportQueueExists();
// Destroys the process's queue and every body still in it (bodies queued after the worker's last
// pass are dropped unsent). The next getReportQueue creates a new one.
void destroyReportQueue();

enum class EnqueueResult { Queued, Refused, NoMemory };
// Queues a private copy of body under a new report id. Null bodies and ones longer than kBodyBytes are refused.
EnqueueResult enqueueReport(const char* body);

// How enqueueReport allocates its copies; tests swap it to exercise the out-of-memory path.
using BodyAllocator = void* (*)(std::size_t);
extern BodyAllocator g_bodyAllocator;
