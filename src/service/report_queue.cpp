#include "service/report_queue.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::atomic<ReportQueue*> g_queue{nullptr};

}  // namespace

bool ReportQueue::pushBack(ReportBody body, ReportId id)
{
    ReportBody dropped;
    try {
        std::lock_guard<std::mutex> guard(lock_);
        if (bodies_.size() >= kMaxQueuedReports) {
            dropped = std::move(bodies_.front().body);
            bodies_.pop_front();
        }
        bodies_.push_back(Entry{std::move(body), id});
    } catch (...) {
        // The deque could not grow: the body is lost, like one the full queue drops.
        return false;
    }
    return true;  // a dropped body is freed here, outside the lock: the lock only covers constant work
}

ReportBody ReportQueue::popFront(ReportId* id)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (bodies_.empty()) return ReportBody();
    ReportBody body = std::move(bodies_.front().body);
    if (id != nullptr) *id = bodies_.front().id;
    bodies_.pop_front();
    return body;
}

std::size_t ReportQueue::size()
{
    std::lock_guard<std::mutex> guard(lock_);
    return bodies_.size();
}

ReportQueue& getReportQueue()
{
    ReportQueue* queue = g_queue.load(std::memory_order_acquire);
    if (queue != nullptr) return *queue;
    // Both threads may get here; exactly one installs its queue and the other discards its own.
    auto* fresh = new ReportQueue();
    if (g_queue.compare_exchange_strong(queue, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;
    return *queue;
}

bool reportQueueExists() { return g_queue.load(std::memory_order_acquire) != nullptr; }

void destroyReportQueue() { delete g_queue.exchange(nullptr, std::memory_order_acq_rel); }

BodyAllocator g_bodyAllocator = std::malloc;

EnqueueResult enqueueReport(const char* body)
{
    if (body == nullptr) return EnqueueResult::Refused;
    std::size_t length = strnlen(body, kBodyBytes + 1);
    if (length > kBodyBytes) return EnqueueResult::Refused;
    ReportBody copy(static_cast<char*>(g_bodyAllocator(length + 1)));
    if (!copy) return EnqueueResult::NoMemory;
    std::memcpy(copy.get(), body, length + 1);
    try {
        return getReportQueue().pushBack(std::move(copy), nextReportId()) ? EnqueueResult::Queued : EnqueueResult::NoMemory;
    } catch (const std::bad_alloc&) {
        return EnqueueResult::NoMemory;
    }
}
