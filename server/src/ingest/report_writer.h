// The durable path. Network threads hand decoded reports to the one writer thread; it takes all
// that are waiting, stores them with one Store::appendUnsettled (one transaction: a group commit),
// and only then tells each waiting request whether its report is stored. Nothing is acknowledged
// before the commit that holds it has returned; the rollups follow in a later transaction of the
// same thread (Store::settle).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "store/store.h"

namespace tallyscope::server {

class ReportWriter {
public:
    // Called on the writer thread once the report's transaction is over: true when it committed.
    using Done = std::function<void(bool committed)>;

    struct Limits {
        std::size_t maxQueued = 20000;   // reports waiting; past it submit() refuses (503)
        std::size_t maxBatch = 5000;     // reports per transaction
        std::size_t maxRejects = 256;    // rejected bodies waiting; past it they are dropped
    };

    ReportWriter(Store& store, Limits limits);
    ~ReportWriter();
    ReportWriter(const ReportWriter&) = delete;
    ReportWriter& operator=(const ReportWriter&) = delete;

    // Queues the report; false (and `done` is never called) when the queue is full or stopping.
    bool submit(Report report, Done&& done) { return submit(std::move(report), done); }
    // The same, taking `done` only when the report is queued: refused, the caller still has it.
    bool submit(Report report, Done& done);
    // Keeps a rejected body when there is room; never waits.
    void submitRejected(Rejected rejected);
    // Stores everything already queued, answers it, and ends the thread. Later submits fail.
    void stop();

    // False while the last transaction failed.
    bool healthy() const { return healthy_.load(); }

    struct Counters {
        std::uint64_t committed = 0;     // reports answered "stored", repeats included
        std::uint64_t repeated = 0;      // of those, repeats of a report id already stored
        std::uint64_t failed = 0;
        std::uint64_t transactions = 0;
        std::uint64_t rejectsDropped = 0;
    };
    Counters counters() const;

private:
    static constexpr std::chrono::milliseconds kSettleWhenQuiet{5};
    static constexpr std::chrono::milliseconds kSettleWithin{50};
    static constexpr std::size_t kKeptRoom = 1024;  // waiting reports' room kept between batches

    struct Pending {
        Pending(Report&& r, Done&& d) : report(std::move(r)), done(std::move(d)) {}
        Report report;
        Done done;
    };

    void run();

    Store& store_;
    Limits limits_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    // Swapped whole with the writer's own when it takes every waiting report (the usual case), so
    // a report queued costs no allocation of its own.
    std::vector<Pending> queue_;
    std::deque<Rejected> rejects_;
    bool stopping_ = false;
    Counters counters_;
    std::atomic<bool> healthy_{true};
    std::thread thread_;
};

}  // namespace tallyscope::server
