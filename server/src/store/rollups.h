// The rollup bookkeeping both backends share. A batch of reports (or one erasure) is turned into
// row operations on per-device tables and into counter deltas; the backend supplies the row
// operations as SQL. Keeping the arithmetic in one place is what lets both stores pass the same
// oracle test.
//
// Tables kept (one row set per application key `app` and channel `chan`; chan 0 is "every
// channel", any other value a channel's own figures, as if no other reports existed):
//   app_device(app, device, chan) first day, first/last arrival, totals per kind
//   device_day(app, device, chan, day) counts per kind            -> active devices
//   daily(app, chan, day) active, new, counts per kind             -> the daily figures
//   retention(app, chan, day, n) devices new on day active on day+n
//   value_day(app, chan, dim, sub, day, value) reports             -> top values by reports
//   value_device_day(app, device, chan, dim, sub, value, day) reports, prev_day
//   value_span(app, chan, dim, sub, value, day, prev_day) devices
// value_span counts the device-days of a value by the device's previous active day for that
// value, so the distinct devices of a value over [from, to] are the rows with day in the range
// and prev_day before `from`: each device is counted once, on its first day in the range, and
// the sum reads a few thousand rows however many devices there are.
//
// Concurrency: every per-device row is touched only after the backend has locked that device's
// app_device row (PostgreSQL: SELECT … FOR UPDATE), so several processes never race on them;
// counters are applied last, in sorted key order, as additive upserts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "store/store.h"

namespace tallyscope::server {

class ReportingDays;

namespace store {

constexpr int kNoDay = -2000000000;  // prev_day of a value's first active day for a device

// Dimensions as stored. Code 0 (value 0) is "any report": its spans give the distinct active
// devices over a range; it has no value_day rows, as the daily rows count its reports. Content is kept twice, over all actions (sub 0) and per action name
// (sub = the action name's id).
int dimensionCode(Dimension d);

struct DeviceRow {
    int firstDay = 0;
    std::int64_t firstMs = 0, lastMs = 0;
    std::int64_t appEvents = 0, actions = 0, deviceReports = 0;
};

struct ValueKey {
    std::int64_t chan = 0;
    int dim = 0;
    std::int64_t sub = 0;
    std::int64_t value = 0;
    bool operator<(const ValueKey& o) const {
        return std::tie(chan, dim, sub, value) < std::tie(o.chan, o.dim, o.sub, o.value);
    }
};

struct ValueDeviceDay {
    ValueKey key;
    int day = 0;
    int prevDay = kNoDay;
    std::int64_t reports = 0;
};

struct DeviceDayRow {
    std::int64_t chan = 0;
    int day = 0;
    std::int64_t appEvents = 0, actions = 0, deviceReports = 0;
};

using DeviceKey = std::tuple<std::int64_t, std::int64_t, std::int64_t>;  // app, device, chan

// What a backend does inside the transaction the rollup code runs in. The calls are written as
// row-at-a-time questions; a backend with expensive round trips (PostgreSQL) answers them from
// state it loads for the whole batch in `prefetch` and writes in `flush`, while SQLite answers
// each with a prepared statement.
class RollupTx {
public:
    virtual ~RollupTx() = default;
    // The local day the last batch's reports fell on and its bounds [startMs, endMs), kept from
    // batch to batch: live reports arrive on one day for hours, and working out a day's bounds
    // takes a time-zone look-up each.
    struct DaySpan {
        const ReportingDays* days = nullptr;
        int day = 0;
        std::int64_t startMs = 1, endMs = 0;
    } lastDay;
    // Hints before the first question: the texts about to be interned, then the device keys
    // about to be locked (sorted), and the end of the batch.
    virtual void intern(const std::vector<const std::string*>& /*strings*/,
                        const std::vector<const std::string*>& /*deviceIds*/) {}
    virtual void prefetch(const std::vector<DeviceKey>& /*keys*/) {}
    virtual void flush() {}
    virtual std::int64_t stringId(const std::string& text) = 0;      // interned, created on demand
    virtual std::optional<std::int64_t> findString(const std::string& text) = 0;
    virtual std::int64_t deviceId(const std::string& text) = 0;
    virtual std::optional<std::int64_t> findDevice(const std::string& text) = 0;

    // Stores the raw rows of a batch; `stored[i]` false when row i is a repeat of a report id the
    // store holds or remembers (applyBatch has already dropped repeats within the batch).
    struct ReportRow {
        const Report* report;
        std::int64_t app, device;
    };
    virtual std::vector<bool> insertReports(const std::vector<ReportRow>& rows) = 0;
    virtual void saveInventory(std::int64_t app, std::int64_t device, const Report& r) = 0;

    // Locks the device's row for the channel (creating a placeholder when absent, so the lock
    // exists) and returns it, or nothing when the device had no row.
    virtual std::optional<DeviceRow> lockDevice(std::int64_t app, std::int64_t device, std::int64_t chan) = 0;
    virtual void saveDevice(std::int64_t app, std::int64_t device, std::int64_t chan, const DeviceRow& row) = 0;

    // Adds to a device-day; true when the row is new.
    virtual bool addDeviceDay(std::int64_t app, std::int64_t device, std::int64_t chan, int day,
                              std::int64_t ae, std::int64_t ac, std::int64_t dr) = 0;
    virtual bool deviceDayExists(std::int64_t app, std::int64_t device, std::int64_t chan, int day) = 0;
    // A device-day after every day the device has in the partition: no row to add to. The
    // default asks as for any other day.
    virtual void insertDeviceDay(std::int64_t app, std::int64_t device, std::int64_t chan, int day,
                                 std::int64_t ae, std::int64_t ac, std::int64_t dr) {
        addDeviceDay(app, device, chan, day, ae, ac, dr);
    }

    // Adds reports to an existing value-device-day; false when there is none.
    virtual bool addValueDeviceDay(std::int64_t app, std::int64_t device, const ValueKey& k, int day,
                                   std::int64_t reports) = 0;
    // The device's nearest active days for the value before and after `day`.
    virtual std::optional<std::pair<int, int>> valueDaysAround(std::int64_t app, std::int64_t device,
                                                               const ValueKey& k, int day) = 0;
    // The nearest active day before `day` when the device has none on or after it.
    virtual int valueDayBefore(std::int64_t app, std::int64_t device, const ValueKey& k, int day) {
        auto around = valueDaysAround(app, device, k, day);
        return around ? around->first : kNoDay;
    }
    virtual void insertValueDeviceDay(std::int64_t app, std::int64_t device, const ValueKey& k, int day,
                                      int prevDay, std::int64_t reports) = 0;
    virtual void setPrevDay(std::int64_t app, std::int64_t device, const ValueKey& k, int day, int prevDay) = 0;

    // Counters: additive upserts.
    virtual void addDaily(std::int64_t app, std::int64_t chan, int day, std::int64_t active,
                          std::int64_t fresh, std::int64_t ae, std::int64_t ac, std::int64_t dr) = 0;
    virtual void addRetention(std::int64_t app, std::int64_t chan, int day, int n, std::int64_t delta) = 0;
    virtual void addValueDay(std::int64_t app, const ValueKey& k, int day, std::int64_t delta) = 0;
    virtual void addSpan(std::int64_t app, const ValueKey& k, int day, int prevDay, std::int64_t delta) = 0;

    // Erasure: every row of a device for a key, locked, then deleted.
    virtual std::vector<std::pair<std::int64_t, DeviceRow>> lockDeviceRows(std::int64_t app, std::int64_t device) = 0;
    virtual std::vector<DeviceDayRow> deviceDays(std::int64_t app, std::int64_t device) = 0;
    virtual std::vector<ValueDeviceDay> valueDeviceDays(std::int64_t app, std::int64_t device) = 0;
    virtual void deleteDevice(std::int64_t app, std::int64_t device) = 0;
};

class FilterSegments;

// Applies a batch: raw rows, inventory, every rollup; repeats of a report id change nothing.
// With `segments`, the OS filters' rollups too (store/filter_segments.h).
AppendResult applyBatch(RollupTx& tx, const ReportingDays& days, const std::vector<Report>& reports,
                        FilterSegments* segments = nullptr);

// Removes one device of one key; false when the key has no such device.
bool eraseDevice(RollupTx& tx, const std::string& appKey, const std::string& deviceId,
                 FilterSegments* segments = nullptr);

}  // namespace store
}  // namespace tallyscope::server
