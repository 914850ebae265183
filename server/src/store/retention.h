// `--retention-days N`: raw reports older than N days are dropped at start and then every hour,
// on a thread of its own; the rollups, and so every figure, stay. With N = 0 no report is dropped
// and a pass only forgets the report ids whose repeat window is over.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "store/store.h"

namespace tallyscope::server {

class RetentionPruner {
public:
    // `report` hears of every pass that dropped reports, or of a failure (dropped = -1).
    // `alsoPrune` runs in each pass with the same cut-off (the audit log goes with the reports).
    RetentionPruner(Store& store, int days, std::function<void(std::int64_t dropped, const std::string& error)> report,
                    std::chrono::milliseconds every = std::chrono::hours(1),
                    std::function<void(std::int64_t cutoffMs)> alsoPrune = {});
    ~RetentionPruner();
    RetentionPruner(const RetentionPruner&) = delete;
    RetentionPruner& operator=(const RetentionPruner&) = delete;

    // The cut-off of a pass run at `nowMs`.
    static std::int64_t cutoff(std::int64_t nowMs, int days) {
        return days > 0 ? nowMs - static_cast<std::int64_t>(days) * 86400000 : 0;
    }

private:
    void run();
    Store& store_;
    const int days_;
    const std::function<void(std::int64_t, const std::string&)> report_;
    const std::chrono::milliseconds every_;
    const std::function<void(std::int64_t)> alsoPrune_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace tallyscope::server
