// The read side both backends share: every figure is a short SQL query over the rollups, so the
// queries are written once, with `?` placeholders, over a minimal connection interface.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <variant>
#include <vector>

#include "store/store.h"

namespace tallyscope::server::store {

using Param = std::variant<std::int64_t, std::string>;

struct Row {
    virtual ~Row() = default;
    virtual std::int64_t i64(int column) const = 0;
    virtual bool isNull(int column) const = 0;
    virtual std::string text(int column) const = 0;  // text or bytes, as stored
};

// One borrowed reader connection. begin/end bracket a read-only transaction so the several
// statements of one answer see one snapshot; an answer of one statement runs without them (a
// statement sees one snapshot by itself), which spares a networked store two round trips.
class QuerySource {
public:
    virtual ~QuerySource() = default;
    virtual void begin() = 0;
    virtual void end() = 0;
    // Runs `sql`, calling `each` per row until it returns false. `stream` asks for rows to be
    // fetched in slices (an export), not all at once.
    virtual void query(const std::string& sql, const std::vector<Param>& params,
                       const std::function<bool(const Row&)>& each, bool stream = false) = 0;
};

enum class Dialect { Sqlite, Postgres };

// Ids of reports that arrived from here on are remembered once their report is gone.
std::int64_t reportIdsKeptFrom();

class QueryStore : public Store {
public:
    QueryStore(Dialect dialect, const ReportingDays& days) : dialect_(dialect), days_(days) {}

    std::vector<Rejected> rejects(int limit) override;
    std::vector<AppSummary> apps() override;
    bool hasApp(const std::string& appKey) override;
    std::vector<DayFigures> daily(const std::string& appKey, int fromDay, int toDay,
                                  const std::optional<std::string>& channel) override;
    std::int64_t activeDevices(const std::string& appKey, int fromDay, int toDay,
                               const std::optional<std::string>& channel) override;
    std::vector<TopRow> top(const TopQuery& query) override;
    std::vector<Cohort> retention(const std::string& appKey, int fromDay, int toDay, int today,
                                  const std::optional<std::string>& channel) override;
    std::optional<DeviceSummary> device(const std::string& appKey, const std::string& deviceId) override;
    std::vector<DayFigures> daily(const std::string& appKey, int fromDay, int toDay, const Filters& filters) override;
    std::int64_t activeDevices(const std::string& appKey, int fromDay, int toDay, const Filters& filters) override;
    std::vector<Cohort> retention(const std::string& appKey, int fromDay, int toDay, int today,
                                  const Filters& filters) override;
    Breakdown breakdown(const BreakdownQuery& query) override;
    std::vector<DeviceMatch> findDevices(const std::string& appKey, const std::string& text, int limit) override;
    void exportReports(const std::string& appKey, int fromDay, int toDay, const ReportSink& sink) override;
    void exportReports(const std::string& appKey, int fromDay, int toDay, const Filters& filters,
                       const ReportSink& sink) override;

protected:
    virtual std::unique_ptr<QuerySource> borrow() = 0;
    // The figures as counted so far, reports acknowledged but not counted yet left out: only for
    // answers such reports cannot turn false.
    virtual std::unique_ptr<QuerySource> borrowAsCounted() = 0;
    const ReportingDays& days() const { return days_; }
    // A store that may have lost commits it had acknowledged to a reader (a failover to a standby
    // that had not received them) forgets the ids read before.
    void forgetIds();

private:
    std::optional<std::int64_t> stringId(QuerySource& src, const std::string& text);
    std::optional<std::int64_t> partitionOf(QuerySource& src, std::int64_t app, const Filters& filters);
    std::map<std::int64_t, std::string> textsOf(QuerySource& src, const std::vector<std::int64_t>& ids);

    Dialect dialect_;
    const ReportingDays& days_;
    // The ids of interned texts (both ways) and of filter segments never change once committed,
    // and only committed rows are read here, so each is looked up once instead of in every
    // answer. Absent ones are not kept: they may come with the next batch.
    static constexpr std::size_t kIdsKept = 20000;
    std::mutex idsMutex_;
    std::unordered_map<std::string, std::int64_t> stringIds_;
    std::unordered_map<std::int64_t, std::string> texts_;
    std::map<std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t>, std::int64_t> segmentIds_;
};

}  // namespace tallyscope::server::store
