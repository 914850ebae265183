#include "ingest/report_writer.h"

#include <spdlog/spdlog.h>

#include "http/http_server.h"
#include "ops/metrics.h"

namespace tallyscope::server {
namespace {

void countCommit(bool committed, std::size_t reports, std::size_t repeats, std::chrono::steady_clock::duration took)
{
    metrics::Registry& m = metrics::global();
    if (!committed) {
        m.storeErrors.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    m.commits.fetch_add(1, std::memory_order_relaxed);
    m.reportsRepeated.fetch_add(repeats, std::memory_order_relaxed);
    m.commitSeconds.observe(std::chrono::duration<double>(took).count());
    m.batchReports.observe(static_cast<double>(reports));
    m.lastCommitMs.store(metrics::steadyNowMs(), std::memory_order_relaxed);
}

}  // namespace

ReportWriter::ReportWriter(Store& store, Limits limits) : store_(store), limits_(limits)
{
    thread_ = std::thread([this] { run(); });
}

ReportWriter::~ReportWriter() { stop(); }

bool ReportWriter::submit(Report report, Done& done)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || queue_.size() >= limits_.maxQueued) return false;
        queue_.emplace_back(std::move(report), std::move(done));
        metrics::global().writerQueue.store(static_cast<std::int64_t>(queue_.size()), std::memory_order_relaxed);
    }
    wake_.notify_one();
    return true;
}

void ReportWriter::submitRejected(Rejected rejected)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || rejects_.size() >= limits_.maxRejects) {
            ++counters_.rejectsDropped;
            return;
        }
        rejects_.push_back(std::move(rejected));
    }
    wake_.notify_one();
}

void ReportWriter::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

ReportWriter::Counters ReportWriter::counters() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

void ReportWriter::run()
{
    std::vector<Pending> taken;
    std::vector<Report> batch;
    std::vector<Done> waiting;
    std::deque<Rejected> rejects;
    // Reports are answered once their rows are durable; their rollups follow when the queue has
    // been quiet for a moment or the oldest has waited kSettleWithin, so a stream of lone
    // reports shares one rollup transaction instead of paying one each.
    std::optional<std::chrono::steady_clock::time_point> settleBy;
    auto settle = [&] {
        settleBy.reset();
        try {
            store_.settle();
        } catch (const std::exception& e) {
            metrics::global().storeErrors.fetch_add(1, std::memory_order_relaxed);
            spdlog::error("event=settle_failed error=\"{}\"", e.what());
        }
    };
    while (true) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            const auto work = [this] { return stopping_ || !queue_.empty() || !rejects_.empty(); };
            if (store_.unsettled() == 0) {
                settleBy.reset();
                wake_.wait(lock, work);
            } else {
                if (!settleBy) settleBy = std::chrono::steady_clock::now() + kSettleWithin;
                const auto quietUntil = std::min(*settleBy, std::chrono::steady_clock::now() + kSettleWhenQuiet);
                if (!wake_.wait_until(lock, quietUntil, work) || std::chrono::steady_clock::now() >= *settleBy) {
                    lock.unlock();
                    settle();
                    continue;
                }
            }
            if (queue_.empty() && rejects_.empty()) {  // stopping, and everything is answered
                lock.unlock();
                if (store_.unsettled() > 0) settle();
                return;
            }
            if (queue_.size() <= limits_.maxBatch) {
                taken.swap(queue_);
            } else {
                const auto end = queue_.begin() + static_cast<std::ptrdiff_t>(limits_.maxBatch);
                taken.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(end));
                queue_.erase(queue_.begin(), end);
            }
            rejects.swap(rejects_);
            metrics::global().writerQueue.store(static_cast<std::int64_t>(queue_.size()), std::memory_order_relaxed);
        }
        batch.reserve(taken.size());  // handed to the store with its reports, so fresh each time
        for (Pending& p : taken) {
            batch.push_back(std::move(p.report));
            waiting.push_back(std::move(p.done));
        }
        taken.clear();
        // After a burst the queue's room goes back, so the writer's memory stays small when idle.
        if (taken.capacity() > kKeptRoom) std::vector<Pending>().swap(taken);

        bool committed = false;
        if (!batch.empty()) {
            const std::size_t reports = batch.size();
            std::string error;
            const auto started = std::chrono::steady_clock::now();
            AppendResult outcome;
            try {
                outcome = store_.appendUnsettled(std::move(batch));
                committed = true;
            } catch (const std::exception& e) {
                error = e.what();
            }
            countCommit(committed, reports, outcome.repeats, std::chrono::steady_clock::now() - started);
            // One line when commits start failing and one when they work again, not one per batch.
            bool wasHealthy = healthy_.exchange(committed);
            if (!committed && wasHealthy)
                spdlog::error("event=commit_failed reports={} error=\"{}\"", reports, error);
            if (committed && !wasHealthy) spdlog::info("event=commit_recovered reports={}", reports);
            // Counted before anyone hears of it, so a caller that has its answer sees it counted.
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++counters_.transactions;
                (committed ? counters_.committed : counters_.failed) += reports;
                counters_.repeated += outcome.repeats;
            }
            // The reports are durable (or known lost) from here on; only now do requests hear of it.
            http::HeldAnswers together;
            for (Done& done : waiting) done(committed);
        }
        for (const Rejected& rejected : rejects) {
            try {
                store_.reject(rejected);
            } catch (const std::exception& e) {
                metrics::global().storeErrors.fetch_add(1, std::memory_order_relaxed);
                spdlog::error("event=reject_store_failed error=\"{}\"", e.what());
            }
        }
        batch.clear();
        waiting.clear();
        rejects.clear();
    }
}

}  // namespace tallyscope::server
