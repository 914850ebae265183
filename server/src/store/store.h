// The one storage interface of tallyscope-server. Each backend (SQLite, PostgreSQL) lives in a
// file of its own behind it; the HTTP layer and the import command only ever see this header.
//
// Days are whole days in the reporting time zone, numbered from 1970-01-01 (see core/days.h);
// every figure is answered from rollups kept exact in the same transaction as the raw rows, so
// queries never scan reports.
//
// Threads: `append`, `reject`, `eraseDevice` and `prune` may be called from any thread (the
// backend serialises writers); queries and `exportReports` run on their own connections and
// may run while a batch is being written.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/figures.h"
#include "core/report.h"

namespace tallyscope::server {

// Receives exported reports one at a time, oldest arrival first; returning false stops the walk.
using ReportSink = std::function<bool(const Report&)>;

// What one append did. A report whose (application key, report id) is already stored, or was
// stored within the window below and has since been erased or pruned, is a repeat: it changes
// nothing, and is as safe as a stored one.
struct AppendResult {
    std::size_t stored = 0;
    std::size_t repeats = 0;
};

// How long a report id is remembered after the report left the store (erasure, retention):
// longer than a report can wait in a sender's spool or retries. While the report is stored its
// id is remembered with it, however old.
inline constexpr std::int64_t kReportIdWindowMs = 35LL * 86400000;

class Store {
public:
    virtual ~Store() = default;

    // Stores every report in one transaction, rollups included. When it returns the reports are
    // durable (they survive kill -9 and a power cut as far as the backend's sync allows); it
    // throws StoreError when they are not. Reports with a report id are stored once per
    // (appKey, reportId), also within one batch (the first one is kept).
    virtual AppendResult append(const std::vector<Report>& reports) = 0;
    // As `append`, durable and deduplicated the same when it returns, but the rollups may follow
    // in a later `settle` (on the caller's thread, or one of the backend's own): the figures lag
    // until then (every query of the store settles first), and a crash in between is made good
    // when the store opens next. The reports are handed over, so a backend can keep them for the
    // settle without a copy.
    virtual AppendResult appendUnsettled(std::vector<Report> reports) { return append(reports); }
    // Reports stored by appendUnsettled whose rollups are still to be written.
    virtual std::size_t unsettled() const { return 0; }
    // Writes those rollups; throws StoreError when it cannot (the reports stay unsettled).
    virtual void settle() {}

    // Keeps a rejected body; the backend bounds how many are kept (oldest dropped first).
    virtual void reject(const Rejected& rejected) = 0;
    // The newest rejected bodies, newest first.
    virtual std::vector<Rejected> rejects(int limit) = 0;

    // Every application key that has reports, ordered by key.
    virtual std::vector<AppSummary> apps() = 0;
    virtual bool hasApp(const std::string& appKey) = 0;

    // One entry per day from `fromDay` to `toDay` inclusive, zeros included, oldest first.
    virtual std::vector<DayFigures> daily(const std::string& appKey, int fromDay, int toDay,
                                          const std::optional<std::string>& channel) = 0;

    // Distinct devices with at least one report from `fromDay` to `toDay` inclusive (the
    // dashboard's "active devices, 7 days / 30 days"; not the sum of the daily figures).
    // Backends answer it from the device-day rollup; the default only says it cannot.
    virtual std::int64_t activeDevices(const std::string& appKey, int fromDay, int toDay,
                                       const std::optional<std::string>& channel);

    // Most reports first, ties by value (byte order), at most `limit` rows.
    virtual std::vector<TopRow> top(const TopQuery& query) = 0;

    // One cohort per day from `fromDay` to `toDay`; `today` is the current day, the first that
    // has not come yet.
    virtual std::vector<Cohort> retention(const std::string& appKey, int fromDay, int toDay,
                                          int today, const std::optional<std::string>& channel) = 0;

    virtual std::optional<DeviceSummary> device(const std::string& appKey,
                                                const std::string& deviceId) = 0;

    // Removes every report and value of the device for the key; the figures stop counting it.
    // False when the key has no such device.
    virtual bool eraseDevice(const std::string& appKey, const std::string& deviceId) = 0;

    // Walks every stored report of the key that arrived on a day from `fromDay` to `toDay`, in
    // arrival order, holding one report in memory at a time.
    virtual void exportReports(const std::string& appKey, int fromDay, int toDay,
                               const ReportSink& sink) = 0;

    // The figures above under any filters (channel, OS name, OS version). The defaults answer a
    // channel-only filter with the channel-only figures and refuse the others.
    virtual std::vector<DayFigures> daily(const std::string& appKey, int fromDay, int toDay, const Filters& filters);
    virtual std::int64_t activeDevices(const std::string& appKey, int fromDay, int toDay, const Filters& filters);
    virtual std::vector<Cohort> retention(const std::string& appKey, int fromDay, int toDay, int today,
                                          const Filters& filters);
    // Per-day series of the values with most reports, the rest summed.
    virtual Breakdown breakdown(const BreakdownQuery& query);
    // Devices of the key whose identifier starts with `text` or whose computer or user name holds
    // it, any case; most recently seen first.
    virtual std::vector<DeviceMatch> findDevices(const std::string& appKey, const std::string& text, int limit);
    // The walk above over the reports the filters pass only.
    virtual void exportReports(const std::string& appKey, int fromDay, int toDay, const Filters& filters,
                               const ReportSink& sink);

    // Drops raw reports that arrived before `cutoffMs`; every figure stays as it was. Ids of
    // dropped reports are remembered until kReportIdWindowMs after their arrival.
    // Returns how many reports were dropped.
    virtual std::int64_t prune(std::int64_t cutoffMs) = 0;

    // Gives the room rows left free inside the store back, after a bulk load (import); the
    // figures stay as they are. Backends that keep no such room do nothing.
    virtual void compact() {}
};

struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline std::int64_t Store::activeDevices(const std::string&, int, int,
                                         const std::optional<std::string>&)
{
    throw StoreError("this store cannot count active devices over a range");
}

inline std::vector<DayFigures> Store::daily(const std::string& appKey, int fromDay, int toDay, const Filters& f) {
    if (f.byOs()) throw StoreError("this store cannot filter by OS");
    return daily(appKey, fromDay, toDay, f.channel);
}
inline std::int64_t Store::activeDevices(const std::string& appKey, int fromDay, int toDay, const Filters& f) {
    if (f.byOs()) throw StoreError("this store cannot filter by OS");
    return activeDevices(appKey, fromDay, toDay, f.channel);
}
inline std::vector<Cohort> Store::retention(const std::string& appKey, int fromDay, int toDay, int today,
                                            const Filters& f) {
    if (f.byOs()) throw StoreError("this store cannot filter by OS");
    return retention(appKey, fromDay, toDay, today, f.channel);
}
inline Breakdown Store::breakdown(const BreakdownQuery&) { throw StoreError("this store cannot break figures down"); }
inline std::vector<DeviceMatch> Store::findDevices(const std::string&, const std::string&, int) {
    throw StoreError("this store cannot search devices");
}

inline void Store::exportReports(const std::string& appKey, int fromDay, int toDay, const Filters& f,
                                 const ReportSink& sink) {
    if (f.byOs()) throw StoreError("this store cannot filter by OS");
    if (!f.channel) return exportReports(appKey, fromDay, toDay, sink);
    exportReports(appKey, fromDay, toDay, [&](const Report& r) { return r.channel != *f.channel || sink(r); });
}

class ReportingDays;

struct StoreOptions {
    std::string dataDir = "./tallyscope-data";  // SQLite: the folder holding tallyscope.db
    std::string url;                            // postgresql://… chooses PostgreSQL
    std::size_t rejectsKept = 10000;
};

// Opens (creating and migrating when needed) the store the options name. `days` must outlive
// the store. Throws StoreError with a one-line reason when it cannot.
std::unique_ptr<Store> openStore(const StoreOptions& options, const ReportingDays& days);

}  // namespace tallyscope::server
