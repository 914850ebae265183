#include "store/retention.h"

#include <chrono>

namespace tallyscope::server {

RetentionPruner::RetentionPruner(Store& store, int days,
                                 std::function<void(std::int64_t, const std::string&)> report,
                                 std::chrono::milliseconds every, std::function<void(std::int64_t)> alsoPrune)
    : store_(store),
      days_(days),
      report_(std::move(report)),
      every_(every),
      alsoPrune_(std::move(alsoPrune)),
      thread_([this] { run(); }) {}

RetentionPruner::~RetentionPruner() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void RetentionPruner::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch()).count();
        try {
            const std::int64_t dropped = store_.prune(cutoff(now, days_));
            if (dropped > 0 && report_) report_(dropped, {});
            if (alsoPrune_) alsoPrune_(cutoff(now, days_));
        } catch (const std::exception& e) {
            if (report_) report_(-1, e.what());
        }
        lock.lock();
        wake_.wait_for(lock, every_, [this] { return stopping_; });
    }
}

}  // namespace tallyscope::server
