// The rollups behind the OS filters. Every report counts, beside "every channel" and its own
// channel, in six segments: its OS name, its OS version and both, each over every channel and
// within its channel. A segment's figures are kept in the ordinary rollup tables under
// chan = -(segment id), by the same arithmetic as a channel's, so every figure the store answers
// can be asked under any filters and is exact as reports arrive.
//
// A report's OS is that of its device's latest device-information report (same key) received at
// or before it; "" when the device had sent none yet. The store keeps, per device, the moments
// its OS changed (device_os), so a report's OS is looked up, not scanned for.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "store/rollups.h"
#include "store/store_queries.h"

namespace tallyscope::server::store {

// Statements run inside the transaction an append runs in: `?` placeholders, values bound.
class TxSql {
public:
    virtual ~TxSql() = default;
    virtual void query(const std::string& sql, const std::vector<Param>& params,
                       const std::function<bool(const Row&)>& each) = 0;
    void run(const std::string& sql, const std::vector<Param>& params) {
        query(sql, params, [](const Row&) { return false; });
    }
};

// One rollup partition a report counts in besides 0 and its channel.
struct Partition {
    std::int64_t chan = 0;
    bool anyChannel = false;  // the partition spans every channel, so it ranks channels too
};

class FilterSegments {
public:
    // With `keepHistories`, the devices' OS histories stay in memory from batch to batch (the
    // store's one writer must then call `forgetHistories` whenever another process may have
    // written to the store); otherwise each batch reads its devices' histories.
    explicit FilterSegments(TxSql& sql, bool keepHistories = false) : sql_(sql), keepHistories_(keepHistories) {}

    // Works out the partitions of every report of a batch and records the OS changes its
    // device-information reports bring. Runs inside the batch's transaction. `ids` holds each
    // report's (app, device) ids.
    void prepare(RollupTx& tx, const std::vector<const Report*>& reports,
                 const std::vector<std::pair<std::int64_t, std::int64_t>>& ids);
    static constexpr std::size_t kPartitions = 6;
    const std::array<Partition, kPartitions>& of(std::size_t report) const { return parts_[report]; }

    // Forgets a device's OS history (an erasure).
    void erase(std::int64_t app, std::int64_t device);

    // The transaction's outcome: segment ids it created are kept for later batches only once
    // it committed (a segment row is never deleted, so a committed id stays valid).
    void committed();
    void rolledBack() {
        pending_.clear();
        histories_.clear();
    }
    void forgetHistories() { histories_.clear(); }

private:
    void writeChanges(const std::map<std::tuple<std::int64_t, std::int64_t, std::int64_t>,
                                     std::pair<std::int64_t, std::int64_t>>& changes);
    std::int64_t segment(std::int64_t app, std::int64_t chan, std::int64_t os, std::int64_t osver);

    struct OsPoint {
        std::int64_t fromMs = 0;
        std::int64_t os = 0, osver = 0;
    };
    using Histories = std::map<std::pair<std::int64_t, std::int64_t>, std::vector<OsPoint>>;  // (app, device)
    void readHistories(const std::vector<std::pair<std::int64_t, std::int64_t>>& devices, Histories& into);

    TxSql& sql_;
    bool keepHistories_;
    Histories histories_;  // kept across batches only with keepHistories_
    std::vector<std::array<Partition, kPartitions>> parts_;
    using SegmentKey = std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t>;
    std::map<SegmentKey, std::int64_t> segments_, pending_;
};

}  // namespace tallyscope::server::store
