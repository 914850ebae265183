// Bounded FIFO of report bodies between the host's thread and the upload worker.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>

constexpr std::size_t kMaxQueuedReports = 1024;
constexpr std::size_t kMaxBodyChars = 2048;

class ReportQueue {
public:
    ReportQueue() = default;
    ~ReportQueue();
    ReportQueue(const ReportQueue&) = delete;
    ReportQueue& operator=(const ReportQueue&) = delete;

    // Takes ownership of a malloc'ed body. A full queue drops (and frees) its oldest body.
    // Returns false (and frees the body) only when the queue itself cannot grow.
    bool pushBack(char* body);
    // The oldest body, now owned by the caller (free it with std::free), or nullptr when empty.
    char* popFront();
    std::size_t size();

private:
    std::mutex lock_;
    std::deque<char*> bodies_;
};

// The process's queue, created on first use; safe when the host's thread and the worker race.
ReportQueue& getReportQueue();
// Destroys the process's queue and every body still in it (bodies queued after the worker's last
// pass are dropped unsent). The next getReportQueue creates a new one.
void destroyReportQueue();

enum class EnqueueResult { Queued, Refused, NoMemory };
// Queues a private copy of body. Null and over-long bodies are refused.
EnqueueResult enqueueReport(const char* body);

// How enqueueReport allocates its copies; tests swap it to exercise the out-of-memory path.
using BodyAllocator = void* (*)(std::size_t);
extern BodyAllocator g_bodyAllocator;
