#include "service/report_queue.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "service/service_state.h"

ReportQueue::~ReportQueue()
{
    for (char* body : bodies_) std::free(body);
}

bool ReportQueue::pushBack(char* body)
{
    char* dropped = nullptr;
    bool kept = true;
    try {
        std::lock_guard<std::mutex> guard(lock_);
        if (bodies_.size() >= kMaxQueuedReports) {
            dropped = bodies_.front();
            bodies_.pop_front();
        }
        bodies_.push_back(body);
    } catch (...) {
        // The deque could not grow: the body is lost, like one the full queue drops.
        std::free(body);
        kept = false;
    }
    std::free(dropped);  // freed outside the lock: the lock only ever covers constant work
    return kept;
}

char* ReportQueue::popFront()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (bodies_.empty()) return nullptr;
    char* body = bodies_.front();
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
    auto& slot = serviceState().reportQueue;
    ReportQueue* queue = slot.load(std::memory_order_acquire);
    if (queue != nullptr) return *queue;
    // Both threads may get here; exactly one installs its queue and the other discards its own.
    auto* fresh = new ReportQueue();
    if (slot.compare_exchange_strong(queue, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;
    return *queue;
}

void destroyReportQueue()
{
    delete serviceState().reportQueue.exchange(nullptr, std::memory_order_acq_rel);
}

BodyAllocator g_bodyAllocator = std::malloc;

EnqueueResult enqueueReport(const char* body)
{
    if (body == nullptr) return EnqueueResult::Refused;
    std::size_t length = strnlen(body, kMaxBodyChars + 1);
    if (length > kMaxBodyChars) return EnqueueResult::Refused;
    auto* copy = static_cast<char*>(g_bodyAllocator(length + 1));
    if (copy == nullptr) return EnqueueResult::NoMemory;
    std::memcpy(copy, body, length + 1);
    ReportQueue* queue = nullptr;
    try {
        queue = &getReportQueue();
    } catch (const std::bad_alloc&) {
        std::free(copy);
        return EnqueueResult::NoMemory;
    }
    return queue->pushBack(copy) ? EnqueueResult::Queued : EnqueueResult::NoMemory;
}
